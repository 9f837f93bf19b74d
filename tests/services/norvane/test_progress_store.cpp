// The progress file: fresh starts, repairs of what was read, crash-safe saves and removal.
#include "progress_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "record_log.h"
#include "test_broker.h"

namespace {

using nlohmann::json;
using norvane::ProgressLocation;
using norvane::testing::Record;
using norvane::testing::RecordLog;
using norvane::testing::TempDir;
namespace fs = std::filesystem;

constexpr int64_t kNow = 1700000000;
const std::string kFresh = R"({"intervals":[{"a":1700000000}]})";

class ProgressStore : public ::testing::Test {
 protected:
  ProgressStore() : location_{dir_.dir() + "norvane/", "timestamp"} {}

  fs::path file() const { return location_.directory + location_.fileName; }
  fs::path temporary() const { return file().string() + ".tmp"; }

  void seed(const std::string& text) {
    fs::create_directories(location_.directory);
    std::ofstream(file(), std::ios::binary) << text;
  }
  static std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  json get() {
    return norvane::getTime(location_, [this] { return now_; });
  }

  TempDir dir_;
  ProgressLocation location_;
  int64_t now_ = kNow;
  RecordLog log_;
};

TEST_F(ProgressStore, MissingFileStartsOneCurrentIntervalAndSavesIt) {
  EXPECT_EQ(get(), json::parse(kFresh));
  EXPECT_EQ(contents(file()), kFresh);
  EXPECT_EQ(
      log_.records(),
      (std::vector<Record>{{P7::kWarning, "Read timestamp error! Will be use current time."}}));
}

struct DamagedFile {
  const char* name;
  const char* text;
  const char* warning;
};
void PrintTo(const DamagedFile& param, std::ostream* out) { *out << param.name; }

class ProgressStoreDamagedFile : public ProgressStore,
                                 public ::testing::WithParamInterface<DamagedFile> {};

TEST_P(ProgressStoreDamagedFile, StartsAfreshWithTheErrorsText) {
  seed(GetParam().text);
  EXPECT_EQ(get(), json::parse(kFresh));
  EXPECT_EQ(contents(file()), kFresh);
  EXPECT_EQ(log_.records(), (std::vector<Record>{{P7::kWarning, GetParam().warning}}));
}

INSTANTIATE_TEST_SUITE_P(
    ProgressStore, ProgressStoreDamagedFile,
    ::testing::Values(
        DamagedFile{"Empty", "",
                    "[json.exception.parse_error.101] parse error at line 1, column 1: syntax "
                    "error while parsing value - unexpected end of input; expected '[', '{', or "
                    "a literal"},
        DamagedFile{"RootArray", "[1]",
                    "[json.exception.type_error.305] cannot use operator[] with a string "
                    "argument with array"},
        DamagedFile{"IntervalsNotArray", R"({"intervals":{"a":5}})",
                    "\"intervals\" is not an array"},
        DamagedFile{"CurrentWithoutStart", R"({"intervals":[{"x":1}]})",
                    "Progress interval 0: \"a\" is missing"},
        DamagedFile{"CurrentStartString", R"({"intervals":[{"a":"1700000000"}]})",
                    "Progress interval 0: \"a\" is not a number"},
        DamagedFile{"CurrentStartTooLarge", R"({"intervals":[{"a":1e300}]})",
                    "Progress interval 0: \"a\" is not a number"},
        DamagedFile{"IntervalNotObject", R"({"intervals":[{"a":1700000000},7]})",
                    "Progress interval 1: \"a\" is missing"},
        DamagedFile{"Null", "null", "No intervals in the progress file. Will be use current time."},
        DamagedFile{"EmptyObject", "{}",
                    "No intervals in the progress file. Will be use current time."},
        DamagedFile{"EmptyIntervals", R"({"intervals":[]})",
                    "No intervals in the progress file. Will be use current time."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgressStore, CurrentIntervalIsMovedToThePresentOnlyWhenFarBehindOrAhead) {
  const Record ahead{P7::kWarning,
                     "Interval start 1700000121 is ahead of the clock 1700000000, moved to the "
                     "present"};
  const struct {
    const char* read;
    const char* intervals;  // as the store returns them
    std::vector<Record> records;
  } cases[] = {
      {R"({"intervals":[{"a":1699999880}]})", R"([{"a":1699999880}])", {}},
      {R"({"intervals":[{"a":1699999879}]})", R"([{"a":1700000000}])", {}},
      {R"({"intervals":[{"a":1700000120}]})", R"([{"a":1700000120}])", {}},
      {R"({"intervals":[{"a":1700000121}]})", R"([{"a":1700000000}])", {ahead}},
      // Among several, 240 s; an explicit "b":0 counts as an interval but is never moved.
      {R"({"intervals":[{"a":1,"b":0},{"a":1699999760}]})",
       R"([{"a":1,"b":0},{"a":1699999760}])",
       {}},
      {R"({"intervals":[{"a":1,"b":0},{"a":1699999759}]})",
       R"([{"a":1,"b":0},{"a":1700000000}])",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.read);
    log_.clear();
    seed(c.read);
    EXPECT_EQ(get()["intervals"], json::parse(c.intervals));
    EXPECT_EQ(log_.records(), c.records);
    // Moved in memory only; the loop saves at the end of its pass.
    EXPECT_EQ(contents(file()), c.read);
  }
}

TEST_F(ProgressStore, OldIntervalsAndOtherMembersAreKeptAsRead) {
  const std::string text =
      R"({"intervals":[{"a":5,"b":10,"note":"x"},{"a":1699999990}],"owner":{"k":[1,2]}})";
  seed(text);
  EXPECT_EQ(get(), json::parse(text));
}

TEST_F(ProgressStore, DamagedIntervalsWithAnEndAreDroppedOneByOne) {
  seed(R"({"intervals":[{"b":5},{"a":"x","b":5},{"a":1,"b":"y"},{"a":1e300,"b":1},)"
       R"({"a":1,"b":null},{"a":100,"b":4000000000},{"a":1699999990}]})");
  EXPECT_EQ(get()["intervals"], json::parse(R"([{"a":100,"b":4000000000},{"a":1699999990}])"));
  EXPECT_EQ(log_.texts(P7::kWarning),
            (std::vector<std::string>{"Progress interval 0 dropped: \"a\" is missing",
                                      "Progress interval 1 dropped: \"a\" is not a number",
                                      "Progress interval 2 dropped: \"b\" is not a number",
                                      "Progress interval 3 dropped: \"a\" is not a number",
                                      "Progress interval 4 dropped: \"b\" is not a number"}));
}

TEST_F(ProgressStore, DroppingEveryIntervalStartsAfresh) {
  seed(R"({"intervals":[{"a":"x","b":5}]})");
  EXPECT_EQ(get(), json::parse(kFresh));
  EXPECT_EQ(
      log_.texts(P7::kWarning),
      (std::vector<std::string>{"Progress interval 0 dropped: \"a\" is not a number",
                                "No intervals in the progress file. Will be use current time."}));
}

TEST_F(ProgressStore, SaveWritesTheCompactDocumentAndLeavesNoTemporaryFile) {
  norvane::setTime(json::parse(R"({"z":"ä","intervals":[{"b":2,"a":1}]})"), location_);
  EXPECT_EQ(contents(file()), "{\"intervals\":[{\"a\":1,\"b\":2}],\"z\":\"ä\"}");
  EXPECT_FALSE(fs::exists(temporary()));
  norvane::setTime(json::parse(R"({"intervals":[{"a":3}]})"), location_);
  EXPECT_EQ(contents(file()), R"({"intervals":[{"a":3}]})");
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(ProgressStore, SaveReplacesTheFileWithANewOneInsteadOfRewritingIt) {
  // A reader holding the old file keeps the whole old text: the save never truncates it.
  seed(R"({"intervals":[{"a":1}]})");
  std::ifstream reader(file(), std::ios::binary);
  norvane::setTime(json::parse(R"({"intervals":[{"a":2}]})"), location_);
  std::ostringstream old;
  old << reader.rdbuf();
  EXPECT_EQ(old.str(), R"({"intervals":[{"a":1}]})");
  EXPECT_EQ(contents(file()), R"({"intervals":[{"a":2}]})");
}

TEST_F(ProgressStore, SaveDoesNotWriteThroughAPlantedLink) {
  fs::create_directories(location_.directory);
  const fs::path victim = dir_.path() / "victim";
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, temporary());
  norvane::setTime(json::parse(R"({"intervals":[{"a":7}]})"), location_);
  EXPECT_EQ(contents(victim), "precious");
  EXPECT_EQ(contents(file()), R"({"intervals":[{"a":7}]})");
  EXPECT_FALSE(fs::is_symlink(file()));
}

TEST_F(ProgressStore, ReadDoesNotFollowALinkAndTheNextSaveReplacesIt) {
  fs::create_directories(location_.directory);
  const fs::path planted = dir_.path() / "planted";
  std::ofstream(planted) << R"({"intervals":[{"a":1699999990,"b":1699999999}]})";
  fs::create_symlink(planted, file());
  EXPECT_EQ(get(), json::parse(kFresh));
  EXPECT_EQ(log_.texts(P7::kWarning),
            (std::vector<std::string>{"Read timestamp error! Will be use current time."}));
  EXPECT_FALSE(fs::is_symlink(file()));
  EXPECT_EQ(contents(planted), R"({"intervals":[{"a":1699999990,"b":1699999999}]})");
}

TEST_F(ProgressStore, SaveCreatesTheMissingDirectoriesTheProgressDirectoryPrivate) {
  location_.directory = dir_.dir() + "one/two/";
  const mode_t previous = ::umask(0);
  norvane::setTime(json::parse(R"({"intervals":[]})"), location_);
  ::umask(previous);
  EXPECT_EQ(contents(dir_.path() / "one/two/timestamp"), R"({"intervals":[]})");
  EXPECT_EQ(fs::status(dir_.path() / "one").permissions(), fs::perms(0775));
  EXPECT_EQ(fs::status(dir_.path() / "one/two").permissions(), fs::perms(0700));
}

TEST_F(ProgressStore, DirectoryThatCannotBeCreatedIsRecordedAndNothingIsSaved) {
  // A file standing in the way of the directory: root may create directories anywhere else.
  std::ofstream(dir_.path() / "blocker") << "x";
  location_.directory = dir_.dir() + "blocker/norvane/";
  EXPECT_EQ(get(), json::parse(kFresh));
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kWarning, "Read timestamp error! Will be use current time."},
                                 {P7::kError, "Save timestamp error! " + file().string() +
                                                  ": Не удалось создать \"" + dir_.dir() +
                                                  "blocker/norvane/\" errno: 20"}}));
}

TEST_F(ProgressStore, FailedRenameKeepsWhatStoodThereAndRemovesTheTemporaryFile) {
  fs::create_directories(file() / "occupied");
  EXPECT_FALSE(norvane::setTime(json::parse(R"({"intervals":[{"a":1}]})"), location_));
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{
                {P7::kError, "Save timestamp error! " + file().string() + ": Is a directory"}}));
  EXPECT_TRUE(fs::is_directory(file() / "occupied"));
  EXPECT_FALSE(fs::exists(temporary()));
}

TEST_F(ProgressStore, FailingSavesAreRecordedOnceAndTheirEndOnce) {
  seed(kFresh);
  fs::create_directory(temporary());  // an obstacle no save can remove
  for (int save = 0; save < 3; ++save) {
    EXPECT_FALSE(norvane::setTime(json::parse(R"({"intervals":[{"a":2}]})"), location_));
  }
  fs::remove(temporary());
  EXPECT_TRUE(norvane::setTime(json::parse(R"({"intervals":[{"a":3}]})"), location_));
  EXPECT_TRUE(norvane::setTime(json::parse(R"({"intervals":[{"a":4}]})"), location_));
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{
                {P7::kError, "Save timestamp error! " + file().string() + ": File exists"},
                {P7::kInfo, "Progress saved again to " + file().string()}}));
  EXPECT_EQ(contents(file()), R"({"intervals":[{"a":4}]})");
}

// A directory anyone else could have planted is not used: the progress stays in memory, and
// nothing is read from it or written into it. Foreign and writable directories are cases of
// the system test of planted progress paths.
struct UnsafeDirectory {
  const char* name;
  // Plants what stands at @p directory, from a directory that holds a forged progress file;
  // returns the directory that must stay as it is.
  std::function<fs::path(const fs::path& directory, const fs::path& forged)> plant;
  const char* reason;
};
void PrintTo(const UnsafeDirectory& param, std::ostream* out) { *out << param.name; }

class ProgressStoreUnsafeDirectory : public ProgressStore,
                                     public ::testing::WithParamInterface<UnsafeDirectory> {};

TEST_P(ProgressStoreUnsafeDirectory, IsRefusedOnceAndLeftAlone) {
  const std::string forgedText = R"({"intervals":[{"a":5,"b":9},{"a":1699999990}]})";
  const fs::path forged = dir_.path() / "forged";
  fs::create_directory(forged);
  std::ofstream(forged / "timestamp") << forgedText;
  const fs::path watched = GetParam().plant(fs::path(location_.directory).parent_path(), forged);
  const auto before = fs::last_write_time(watched);

  EXPECT_EQ(get(), json::parse(kFresh));
  EXPECT_FALSE(norvane::setTime(json::parse(kFresh), location_));
  norvane::dropTime(location_, [this] { return now_; });

  EXPECT_EQ(
      log_.records(),
      (std::vector<Record>{{P7::kError, "Progress directory " + location_.directory + " refused: " +
                                            GetParam().reason + ". Progress is kept in memory"},
                           {P7::kWarning, "Read timestamp error! Will be use current time."}}));
  EXPECT_EQ(contents(watched / "timestamp"), forgedText);
  EXPECT_EQ(std::distance(fs::directory_iterator(watched), fs::directory_iterator()), 1);
  EXPECT_EQ(fs::last_write_time(watched), before);
}

INSTANTIATE_TEST_SUITE_P(
    ProgressStore, ProgressStoreUnsafeDirectory,
    ::testing::Values(UnsafeDirectory{"Link",
                                      [](const fs::path& directory, const fs::path& forged) {
                                        fs::create_directory_symlink(forged, directory);
                                        return forged;
                                      },
                                      "it is a symbolic link"},
                      UnsafeDirectory{"NotADirectory",
                                      [](const fs::path& directory, const fs::path& forged) {
                                        std::ofstream(directory) << "x";
                                        return forged;
                                      },
                                      "it is not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

// Only a regular file of at most 1 MiB is read; anything else is replaced at the next save.
struct UnusableFile {
  const char* name;
  std::function<void(const fs::path& file)> plant;
  const char* warning;  // after the path
};
void PrintTo(const UnusableFile& param, std::ostream* out) { *out << param.name; }

class ProgressStoreUnusableFile : public ProgressStore,
                                  public ::testing::WithParamInterface<UnusableFile> {};

TEST_P(ProgressStoreUnusableFile, StartsAfreshAndIsReplacedByARegularFile) {
  fs::create_directories(location_.directory);
  GetParam().plant(file());
  EXPECT_EQ(get(), json::parse(kFresh));  // a FIFO would block here without O_NONBLOCK
  EXPECT_EQ(log_.records(), (std::vector<Record>{{P7::kWarning, "Progress file " + file().string() +
                                                                    GetParam().warning}}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file())));
  EXPECT_EQ(contents(file()), kFresh);
}

INSTANTIATE_TEST_SUITE_P(ProgressStore, ProgressStoreUnusableFile,
                         ::testing::Values(UnusableFile{"Fifo",
                                                        [](const fs::path& file) {
                                                          ASSERT_EQ(::mkfifo(file.c_str(), 0600),
                                                                    0);
                                                        },
                                                        " is not a regular file"},
                                           UnusableFile{"LargerThan1MiB",
                                                        [](const fs::path& file) {
                                                          std::ofstream(file)
                                                              << std::string((1 << 20) + 1, ' ');
                                                        },
                                                        " is larger than 1 MiB"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgressStore, DropRemovesTheFile) {
  seed(kFresh);
  norvane::dropTime(location_, [this] { return now_; });
  EXPECT_FALSE(fs::exists(file()));
  norvane::dropTime(location_, [this] { return now_; });  // nothing left: nothing recorded
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(ProgressStore, DropThatCannotRemoveRecordsAnErrorAndTriesTheFreshDocument) {
  fs::create_directories(file() / "occupied");
  norvane::dropTime(location_, [this] { return now_; });
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{
                {P7::kError, "Drop timestamp error! errno: 21"},
                {P7::kError, "Save timestamp error! " + file().string() + ": Is a directory"}}));
}

}  // namespace
