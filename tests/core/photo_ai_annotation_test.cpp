// AI annotations: emptiness, search text, list union and overlaying, and their JSON.
#include "tarno/core/photo_ai_annotation.hpp"

#include <gtest/gtest.h>

namespace tarno::core {
namespace {

using Strings = std::vector<std::string>;

TEST(PhotoAIAnnotation, UnionKeepsTheFirstListAndAddsNewWordsOnce) {
  EXPECT_EQ(
      PhotoAIAnnotation::unionOf({"Beach", "beach", "Sea"}, {"beach", "Sunset", "", "SUNSET",
                                                             "\u00C9t\u00E9", "\u00E9T\u00C9"}),
      (Strings{"Beach", "beach", "Sea", "Sunset", "\u00C9t\u00E9"}));
  EXPECT_EQ(PhotoAIAnnotation::unionOf({}, {"", "a", "A"}), Strings{"a"});
}

TEST(PhotoAIAnnotation, OverlayTakesWhatTheNewerOneHas) {
  const PhotoAIAnnotation old{.caption = "Old",
                              .keywords = {"Beach"},
                              .scene = "coast",
                              .setting = PhotoSetting::outdoor,
                              .peopleCount = 2,
                              .keeperScore = 0.9,
                              .ocrText = "EXIT"};
  EXPECT_EQ(old.overlaid(PhotoAIAnnotation{.ocrText = ""}), old);
  const PhotoAIAnnotation merged = old.overlaid({.longDescription = "New",
                                                 .keywords = {"beach", "Pier"},
                                                 .scene = "",
                                                 .palette = {"sand"},
                                                 .keeperScore = 0,
                                                 .ocrText = "OPEN"});
  EXPECT_EQ(merged, (PhotoAIAnnotation{.caption = "Old",
                                       .longDescription = "New",
                                       .keywords = {"Beach", "Pier"},
                                       .scene = "",
                                       .setting = PhotoSetting::outdoor,
                                       .peopleCount = 2,
                                       .palette = {"sand"},
                                       .keeperScore = 0,
                                       .ocrText = "OPEN"}));
}

TEST(PhotoAIAnnotation, SearchTextAndEmptiness) {
  EXPECT_EQ((PhotoAIAnnotation{.caption = "Golden Hour", .keywords = {"Beach"}}).searchText(),
            "golden hour beach");
  const PhotoAIAnnotation greek{.caption = "\u039F\u0394\u039F\u03A3",  // final sigma at a word end
                                .keywords = {"", "K"},
                                .subjects = {"Dog"},
                                .scene = "",
                                .ocrText = "STOP"};
  EXPECT_EQ(greek.searchText(), "\u03BF\u03B4\u03BF\u03C2 k dog stop");

  EXPECT_TRUE(PhotoAIAnnotation{}.isEmpty());
  EXPECT_TRUE(PhotoAIAnnotation{.ocrText = ""}.isEmpty());
  for (const PhotoAIAnnotation& some :
       {PhotoAIAnnotation{.caption = "c"}, PhotoAIAnnotation{.palette = {"red"}},
        PhotoAIAnnotation{.scene = ""}, PhotoAIAnnotation{.setting = PhotoSetting::indoor},
        PhotoAIAnnotation{.peopleCount = 0}, PhotoAIAnnotation{.keeperScore = 0},
        PhotoAIAnnotation{.ocrText = "x"}}) {
    EXPECT_FALSE(some.isEmpty()) << encodeToString(some);
  }
}

TEST(PhotoAIAnnotation, JSONOmitsAbsentMembersAndNamesTheSettingByItsRawValue) {
  const PhotoAIAnnotation some{.caption = "c", .setting = PhotoSetting::indoor, .peopleCount = 3};
  const std::string json = R"({"caption":"c","longDescription":"","keywords":[],"subjects":[],)"
                           R"("setting":"indoor","peopleCount":3,"palette":[]})";
  EXPECT_EQ(encodeToString(some), json);
  EXPECT_EQ(decodeFromString<PhotoAIAnnotation>(json), some);
}

}  // namespace
}  // namespace tarno::core
