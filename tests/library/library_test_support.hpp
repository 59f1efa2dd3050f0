// A library on a temporary folder for tests: request lines in, typed results or errors out.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "library/media_fixture.hpp"
#include "tarno/core/text.hpp"
#include "tarno/library/library.hpp"
#include "tarno/protocol/protocol_types.hpp"

namespace tarno::library::testing {

class LibraryFixture : public ::testing::Test {
 protected:
  std::filesystem::path folder() const { return dir_.path() / "photos"; }
  std::filesystem::path support() const { return dir_.path() / "support"; }
  std::filesystem::path storeDir() const { return folder() / ".tarno"; }

  void SetUp() override {
    std::filesystem::create_directories(folder());
    std::filesystem::create_directories(support());
    open();
  }

  void open() {
    library_.reset();
    library_ = std::make_unique<Library>(LibraryOptions{folder(), {}, support(), false, "9.9"});
  }
  Library& library() { return *library_; }

  // Reports a file of the folder to the store as the scanner would, with the given capture
  // time, camera and size; returns its photo id (found through photo.get of every listed id).
  std::string addPhoto(const std::string& relativePath, std::int64_t captureUnix,
                       const std::string& bytes = "not really a jpeg",
                       std::optional<std::string> cameraModel = std::nullopt,
                       bool isVideo = false) {
    std::filesystem::create_directories((folder() / relativePath).parent_path());
    writeBytes(folder() / relativePath, bytes);
    ScannedFile file;
    file.relativePath = relativePath;
    file.stamp = FileStamp{static_cast<std::int64_t>(bytes.size()), captureUnix * 1'000'000'000};
    file.metadata.info.captureDate = core::Date{std::chrono::seconds{captureUnix}};
    file.metadata.info.pixelWidth = 640;
    file.metadata.info.pixelHeight = 480;
    file.metadata.info.cameraModel = cameraModel;
    file.metadata.info.originalFilename =
        core::decodeUTF8Lossy(std::filesystem::path(relativePath).filename().string());
    file.metadata.isVideo = isVideo;
    file.metadata.durationSeconds = isVideo ? 12 : 0;
    library().scanSink().fileFound(file);
    library().scanSink().scanFinished();
    for (const auto& p : call<protocol::ListResult>("library.list", R"({"limit":1000})").photos) {
      if (p.creationDate == file.metadata.info.captureDate) return p.id;
    }
    ADD_FAILURE() << "photo " << relativePath << " not listed";
    return {};
  }

  std::string line(std::string_view method, std::string_view params = {}) {
    std::string out = R"({"jsonrpc":"2.0","id":7,"method":")" + std::string(method) + "\"";
    if (!params.empty()) out += R"(,"params":)" + std::string(params);
    return out + "}";
  }

  // The outcome of one request.
  template <class R>
  protocol::RPCResult<R> send(std::string_view method, std::string_view params = {}) {
    const std::optional<std::string> response = library().handleLine(line(method, params));
    if (!response) throw std::runtime_error("no response");
    return protocol::RPC::decodeResponse<R>(*response);
  }
  // The result of a request that must succeed.
  template <class R>
  R call(std::string_view method, std::string_view params = {}) {
    auto outcome = send<R>(method, params);
    if (const auto* error = outcome.template as<protocol::RPCError>()) {
      ADD_FAILURE() << method << " failed: " << error->code << " " << error->message;
      return R{};
    }
    return *outcome.template as<R>();
  }
  // The error of a request that must fail.
  protocol::RPCError error(std::string_view method, std::string_view params = {}) {
    auto outcome = send<core::JsonValue>(method, params);
    if (const auto* e = outcome.as<protocol::RPCError>()) return *e;
    ADD_FAILURE() << method << " succeeded";
    return {};
  }

  TempFolder dir_;
  std::unique_ptr<Library> library_;
};

}  // namespace tarno::library::testing
