// The wire format held by a corpus of documents written by hand (tests/data/wire): member names
// come from declarations and case names from enumerator spellings, so a rename in C++ would
// otherwise change what is stored and sent without any test noticing.
//
// tests/data/wire/<Type>/ holds, for a type that `tarno-codec types` lists:
//   <name>.json                  a canonical document: one compact line, exactly as it is written;
//   in-<name>[.<variant>].json   an input that reads as the canonical document <name>.json;
//   bad-<name>.json + .error     a document that must fail, and the error it fails with.
// tests/data/wire/raw-values/<Enumeration>.txt lists the JSON form of every case in declaration
// order; tests/data/wire/native-tools/ holds the tools offered to the local model.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/assistant/session/claude_model.hpp"
#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/color_profile.hpp"
#include "tarno/core/develop_source.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/local_mask.hpp"
#include "tarno/core/mask_patch.hpp"
#include "tarno/core/photo_ai_annotation.hpp"
#include "tarno/core/photo_summary.hpp"
#include "tarno/core/tarno_movie.hpp"
#include "tarno/protocol/ipc_method.hpp"
#include "tarno/protocol/rpc.hpp"

namespace fs = std::filesystem;
using namespace tarno;

extern char** environ;

namespace {

const fs::path kCorpus = fs::path(TARNO_SOURCE_DIR) / "tests" / "data" / "wire";

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// A scratch directory for the tool's output, removed with the test.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/tarno-wire-corpus-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

// Runs tarno-codec with `arguments`, standard input read from `input` (or /dev/null).
Outcome runCodec(const Scratch& scratch, const std::vector<std::string>& arguments,
                 const fs::path& input = "/dev/null") {
  const fs::path out = scratch.dir() / "out";
  const fs::path err = scratch.dir() / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> words{"tarno-codec"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, TARNO_CODEC_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  Outcome o;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << TARNO_CODEC_PATH << ": " << std::strerror(spawned);
    return o;
  }
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  o.out = slurp(out);
  o.err = slurp(err);
  return o;
}

// One file of a type's folder, by what its name says it is.
struct Document {
  enum class Role { canonical, input, bad } role;
  std::string type;
  fs::path path;
  fs::path expected;  // the canonical document of an input, the error text of a bad document
};

bool isTypeFolder(const fs::directory_entry& e) {
  const std::string name = e.path().filename().string();
  return e.is_directory() && !name.empty() && std::isupper(static_cast<unsigned char>(name[0]));
}

bool startsWith(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Every document of the corpus, sorted by path; a file that fits no rule fails the test here.
std::vector<Document> corpus() {
  std::vector<Document> out;
  for (const fs::directory_entry& folder : fs::directory_iterator(kCorpus)) {
    if (!isTypeFolder(folder)) continue;
    const std::string type = folder.path().filename().string();
    for (const fs::directory_entry& file : fs::directory_iterator(folder.path())) {
      const fs::path p = file.path();
      const std::string name = p.filename().string();
      const std::string stem = p.stem().string();
      if (p.extension() == ".error") {
        EXPECT_TRUE(startsWith(name, "bad-") && fs::exists(fs::path(p).replace_extension(".json")))
            << p << " belongs to no bad document";
        continue;
      }
      if (p.extension() != ".json") {
        ADD_FAILURE() << p << " is not a document";
        continue;
      }
      if (startsWith(name, "bad-")) {
        const fs::path error = fs::path(p).replace_extension(".error");
        EXPECT_TRUE(fs::exists(error)) << p << " has no .error file";
        out.push_back({Document::Role::bad, type, p, error});
      } else if (startsWith(name, "in-")) {
        const std::string target = stem.substr(3, stem.find('.') - 3);
        const fs::path canonical = folder.path() / (target + ".json");
        EXPECT_TRUE(fs::exists(canonical))
            << p << " reads as " << canonical << ", which is missing";
        out.push_back({Document::Role::input, type, p, canonical});
      } else {
        out.push_back({Document::Role::canonical, type, p, {}});
      }
    }
  }
  std::sort(out.begin(), out.end(),
            [](const Document& a, const Document& b) { return a.path < b.path; });
  return out;
}

std::string trace(const Document& d) {
  return d.type + ": " + d.path.filename().string() + " " + slurp(d.path).substr(0, 300);
}

// Every document of `role`, decoded by the tool as its type.
std::vector<std::pair<Document, Outcome>> decoded(Document::Role role) {
  Scratch scratch;
  std::vector<std::pair<Document, Outcome>> out;
  for (Document& d : corpus()) {
    if (d.role != role) continue;
    Outcome o = runCodec(scratch, {"decode", d.type}, d.path);
    out.emplace_back(std::move(d), std::move(o));
  }
  EXPECT_FALSE(out.empty());
  return out;
}

}  // namespace

TEST(WireCorpus, CanonicalDocumentsAreWrittenBackByteForByte) {
  for (const auto& [d, o] : decoded(Document::Role::canonical)) {
    SCOPED_TRACE(trace(d));
    const std::string document = slurp(d.path);
    // One compact line: the frame format forbids a line feed inside.
    EXPECT_EQ(document.find('\n'), document.size() - 1);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, document);
  }
}

TEST(WireCorpus, OtherSpellingsReadAsTheirCanonicalDocument) {
  for (const auto& [d, o] : decoded(Document::Role::input)) {
    SCOPED_TRACE(trace(d));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, slurp(d.expected));
  }
}

TEST(WireCorpus, BadDocumentsFailWithTheirExactError) {
  for (const auto& [d, o] : decoded(Document::Role::bad)) {
    SCOPED_TRACE(trace(d));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "tarno-codec: " + slurp(d.expected));
  }
}

TEST(WireCorpus, EveryTypeTheCodecKnowsHasDocumentsAndNoOther) {
  Scratch scratch;
  const Outcome o = runCodec(scratch, {"types"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<std::string> listed = lines(o.out);
  ASSERT_FALSE(listed.empty());

  std::map<std::string, std::size_t> canonical;
  for (const Document& d : corpus()) {
    if (d.role == Document::Role::canonical) ++canonical[d.type];
  }
  for (const std::string& type : listed) {
    EXPECT_GT(canonical[type], 0u) << "no canonical document in tests/data/wire/" << type;
  }
  // A folder named after a type the codec no longer knows is a rename nobody followed.
  const std::set<std::string> known(listed.begin(), listed.end());
  for (const fs::directory_entry& folder : fs::directory_iterator(kCorpus)) {
    if (!isTypeFolder(folder)) continue;
    EXPECT_TRUE(known.contains(folder.path().filename().string()))
        << folder.path() << " names no type of tarno-codec";
  }
}

namespace {

// Each case of E in declaration order, encoded; and whether every one of `raw` reads back as the
// case at its position.
template <class E>
std::vector<std::string> encodedCases() {
  std::vector<std::string> out;
  for (const E e : core::allCases<E>)
    out.push_back(protocol::RPC::encode(e));
  return out;
}

template <class E>
bool readsBackInOrder(const std::vector<std::string>& raw) {
  const auto& cases = core::allCases<E>;
  if (raw.size() != cases.size()) return false;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (protocol::RPC::decode<E>(raw[i]) != cases[i]) return false;
  }
  return true;
}

struct Enumeration {
  std::string file;
  std::vector<std::string> (*encoded)();
  bool (*readsBack)(const std::vector<std::string>&);
};

template <class E>
Enumeration enumeration(std::string file) {
  return {std::move(file), &encodedCases<E>, &readsBackInOrder<E>};
}

}  // namespace

TEST(WireCorpus, EnumerationsKeepTheirRawValuesInDeclarationOrder) {
  const std::vector<Enumeration> enumerations{
      enumeration<protocol::IPCMethod>("IPCMethod"),
      enumeration<protocol::RPCErrorCode>("RPCErrorCode"),
      enumeration<assistant::ClaudeModel>("ClaudeModel"),
      enumeration<core::AdjustmentKind>("AdjustmentKind"),
      enumeration<core::ColorMixerBand>("ColorMixerBand"),
      enumeration<core::ColorGradeRegion>("ColorGradeRegion"),
      enumeration<core::ColorProfile>("ColorProfile"),
      enumeration<core::DevelopSource>("DevelopSource"),
      enumeration<core::CompositeMode>("CompositeMode"),
      enumeration<core::MaskPatchOp::Action>("MaskPatchOp.Action"),
      enumeration<core::PhotoPlaybackStyle>("PhotoPlaybackStyle"),
      enumeration<core::PhotoSourceType>("PhotoSourceType"),
      enumeration<core::PhotoSetting>("PhotoSetting"),
      enumeration<core::AnnotationSource>("AnnotationSource"),
      enumeration<core::TransitionKind>("TransitionKind"),
      enumeration<core::KenBurnsStyle>("KenBurnsStyle"),
      enumeration<core::MovieTitle::Style>("MovieTitle.Style"),
  };
  std::set<std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(kCorpus / "raw-values"))
    files.insert(e.path().filename().string());
  for (const Enumeration& e : enumerations) {
    SCOPED_TRACE(e.file);
    EXPECT_EQ(files.erase(e.file + ".txt"), 1u) << "no raw-values/" << e.file << ".txt";
    const std::vector<std::string> raw = lines(slurp(kCorpus / "raw-values" / (e.file + ".txt")));
    EXPECT_EQ(e.encoded(), raw);
    EXPECT_TRUE(e.readsBack(raw));
  }
  EXPECT_TRUE(files.empty()) << *files.begin() << " is checked against no enumeration";
}

TEST(WireCorpus, NativeToolsAreOfferedAsWritten) {
  const fs::path folder = kCorpus / "native-tools";
  std::string schema;
  core::JsonWriter(schema).value(assistant::NativeToolCatalog::schema());
  EXPECT_EQ(schema + "\n", slurp(folder / "schema.json"));

  // Each line: the tool's name and the method text of the call that carries it out.
  std::vector<std::string> offered;
  for (const assistant::NativeTool& tool : assistant::NativeToolCatalog::tools()) {
    offered.push_back(tool.name + " " + std::string(core::rawValue(tool.method)));
    EXPECT_EQ(assistant::NativeToolCatalog::method(tool.name), tool.method) << tool.name;
  }
  EXPECT_EQ(offered, lines(slurp(folder / "methods.txt")));
}
