// The aggregate-device store: what a load makes of every kind of file, and
// the safety of writes (atomic replacement, no symbolic links, mode 0600).
#include "aggregate/AggregateDeviceStore.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "aggregate/AggregateTestMachine.h"

namespace velmar {
namespace {

using nlohmann::json;

class AggregateDeviceStoreTest : public testing::AggregateTestMachine {
 protected:
  // Two aggregate devices that exist before the service starts.
  void makeTwo() {
    first_ = makeAggregate("First", "agg-1");
    second_ = makeAggregate("Second", "agg-2");
  }
  AudioObjectID first_ = 0;
  AudioObjectID second_ = 0;
};

TEST_F(AggregateDeviceStoreTest, UnusableFilesChangeNothing) {
  makeTwo();
  struct Case {
    std::string text;
    const char* expectedLine;  // nullptr: ignored silently
  };
  const std::vector<Case> cases = {
      {R"({"deviceIDs":[1,"two"],"currentDeviceID":1})", nullptr},
      {R"({"deviceIDs":[1.5],"currentDeviceID":1})", nullptr},
      {R"({"deviceIDs":[1]})", nullptr},
      {R"({"deviceIDs":1,"currentDeviceID":1})", nullptr},
      {R"([1,2,3])", nullptr},
      {R"({"deviceIDs":[)", "Error loading saved aggregate devices: "},
      {"", "Error loading saved aggregate devices: "},
      {std::string(AggregateDeviceStore::kMaxFileBytes + 1, ' '),
       "Error loading saved aggregate devices: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    writeStore(c.text);
    const auto errorsBefore = countLogged("Error loading saved aggregate devices: ");
    auto manager = makeManager();
    EXPECT_EQ(countLogged("Error loading saved aggregate devices: "),
              errorsBefore + (c.expectedLine != nullptr ? 1 : 0));
    EXPECT_EQ(manager->currentAggregateDeviceID(), first_);
    EXPECT_EQ(manager->getAllAggregateDevices().size(), 2u);
  }
  EXPECT_FALSE(logged("Found saved aggregate device data"));
  EXPECT_TRUE(logged("is larger than 1048576 bytes"));
}

// A missing file, a saved current device that is restored and saved
// devices that are gone are checked across restarts of the executable.
// Here a current ID that is negative, zero or too large is none at all.
TEST_F(AggregateDeviceStoreTest, IDsOutsideTheObjectRangeAreSkippedAndTheRestLoads) {
  makeTwo();
  writeStore(R"({"deviceIDs":[-5,0,4294967296,18446744073709551615,)" + std::to_string(second_) +
             R"(],"currentDeviceID":-7})");
  auto manager = makeManager();
  for (const char* id : {"-5", "0", "4294967296", "18446744073709551615"}) {
    EXPECT_TRUE(output_.waitForLog("Ignoring saved aggregate device ID " + std::string(id)));
  }
  EXPECT_TRUE(output_.waitForLog("Found saved aggregate device: " + std::to_string(second_)));
  EXPECT_TRUE(output_.waitForLog("Successfully loaded 2 saved aggregate devices"));
  EXPECT_EQ(manager->currentAggregateDeviceID(), first_);

  writeStore(R"({"deviceIDs":[],"currentDeviceID":0,"timestamp":1764900000})");
  auto zero = makeManager();
  EXPECT_TRUE(logged("Found saved aggregate device data: 0 devices, current: 0"));
  EXPECT_EQ(countLogged("Successfully loaded 2 saved aggregate devices"), 2u);
  EXPECT_EQ(zero->currentAggregateDeviceID(), first_);

  writeStore(R"({"deviceIDs":[],"currentDeviceID":4294967296})");
  auto again = makeManager();
  EXPECT_TRUE(output_.waitForLog("Ignoring saved current device ID 4294967296"));
  EXPECT_EQ(again->currentAggregateDeviceID(), first_);
  EXPECT_FALSE(logged("Restored current"));
  EXPECT_FALSE(logged("no longer exists"));
}

TEST_F(AggregateDeviceStoreTest, WritesArePrivateAndReplaceTheFileWhole) {
  const mode_t previous = ::umask(0);
  AggregateDeviceStore store(storePath_);
  auto result = store.write({91, 117}, 91, 1764900000);
  ::umask(previous);
  ASSERT_EQ(result.outcome, AggregateDeviceStore::Outcome::kDone) << result.error;
  EXPECT_EQ(readFile(storePath_),
            R"({"currentDeviceID":91,"deviceIDs":[91,117],"timestamp":1764900000})");
  struct stat info {};
  ASSERT_EQ(::stat(storePath_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(readFile(store.temporaryPath()).has_value());

  // An older file with loose permissions is replaced by a private one.
  ASSERT_EQ(::chmod(storePath_.c_str(), 0644), 0);
  ASSERT_EQ(store.write({}, 0, 1).outcome, AggregateDeviceStore::Outcome::kDone);
  ASSERT_EQ(::stat(storePath_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(AggregateDeviceStoreTest, ALinkAtTheStorePathIsNeitherReadNorWrittenThrough) {
  makeTwo();
  const std::string target = directory_ + "/precious.txt";
  const std::string precious = json{{"deviceIDs", {second_}}, {"currentDeviceID", second_}}.dump();
  std::ofstream(target) << precious;
  ASSERT_EQ(::symlink(target.c_str(), storePath_.c_str()), 0);

  auto manager = makeManager();
  // Not read: the link's target would have made the second device current.
  EXPECT_TRUE(output_.waitForLog("⚠️ Not loading saved aggregate devices: " + storePath_ +
                                 " is a symbolic link"));
  EXPECT_EQ(manager->currentAggregateDeviceID(), first_);

  // Not written: the manager carries on from memory.
  ASSERT_NE(manager->createAggregateDevice(), 0u);
  EXPECT_TRUE(output_.waitForLog("⚠️ Not saving aggregate devices: " + storePath_ +
                                 " is a symbolic link; keeping them in memory only"));
  EXPECT_EQ(readFile(target), precious);
  EXPECT_EQ(manager->getAllAggregateDevices().size(), 3u);
  struct stat info {};
  ASSERT_EQ(::lstat(storePath_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_FALSE(readFile(AggregateDeviceStore(storePath_).temporaryPath()).has_value());
}

TEST_F(AggregateDeviceStoreTest, ALinkAtTheTemporaryPathIsNotWrittenThrough) {
  AggregateDeviceStore store(storePath_);
  ASSERT_EQ(store.write({91}, 91, 1).outcome, AggregateDeviceStore::Outcome::kDone);
  const auto before = readFile(storePath_);
  const std::string target = directory_ + "/precious.txt";
  std::ofstream(target) << "keep me";
  ASSERT_EQ(::symlink(target.c_str(), store.temporaryPath().c_str()), 0);

  auto result = store.write({117}, 117, 2);
  EXPECT_EQ(result.outcome, AggregateDeviceStore::Outcome::kRefused);
  EXPECT_EQ(result.error, store.temporaryPath() + " is a symbolic link");
  EXPECT_EQ(readFile(target), "keep me");
  EXPECT_EQ(readFile(storePath_), before);

  // Through the manager: one clear line, and nothing else breaks.
  auto manager = makeManager();
  ASSERT_NE(manager->createAggregateDevice(), 0u);
  EXPECT_TRUE(output_.waitForLog("⚠️ Not saving aggregate devices: " + store.temporaryPath() +
                                 " is a symbolic link; keeping them in memory only"));
  EXPECT_EQ(readFile(target), "keep me");
  EXPECT_EQ(readFile(storePath_), before);
}

TEST_F(AggregateDeviceStoreTest, AWriterKilledBeforeTheRenameLeavesTheOldStoreIntact) {
  AggregateDeviceStore store(storePath_);
  ASSERT_EQ(store.write({91, 117}, 91, 1).outcome, AggregateDeviceStore::Outcome::kDone);
  const auto before = readFile(storePath_);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The temporary file is complete and on disk; the process dies before
    // it replaces the store.
    AggregateDeviceStore(storePath_).writeTemporaryFile(AggregateDeviceStore::serialise({5}, 5, 2));
    ::raise(SIGKILL);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  const std::string leftover = storePath_ + ".tmp." + std::to_string(child);
  EXPECT_EQ(readFile(leftover), AggregateDeviceStore::serialise({5}, 5, 2));

  EXPECT_EQ(readFile(storePath_), before);
  auto read = store.read();
  ASSERT_EQ(read.outcome, AggregateDeviceStore::Outcome::kDone);
  EXPECT_EQ(read.contents.currentDeviceID, 91);

  // A later write is not hindered, not even by a leftover of its own.
  ASSERT_EQ(store.writeTemporaryFile("partial").outcome, AggregateDeviceStore::Outcome::kDone);
  ASSERT_EQ(store.write({117}, 117, 3).outcome, AggregateDeviceStore::Outcome::kDone);
  EXPECT_EQ(readFile(storePath_), AggregateDeviceStore::serialise({117}, 117, 3));
}

TEST_F(AggregateDeviceStoreTest, AFailedWriteIsLoggedAndTheServiceGoesOn) {
  // A store in a directory that does not exist.
  storePath_ = directory_ + "/missing/aggregateDevices.json";
  auto manager = makeManager();
  ASSERT_NE(manager->createAggregateDevice(), 0u);
  EXPECT_TRUE(output_.waitForLog("Error saving aggregate devices: cannot create"));
  EXPECT_EQ(manager->getAllAggregateDevices().size(), 1u);
}

TEST(AggregateDeviceStorePathTest, TheEnvironmentNamesAnotherPath) {
  ::unsetenv(AggregateDeviceStore::kPathVariable);
  EXPECT_EQ(AggregateDeviceStore::pathFromEnvironment(), "/tmp/quorrel_aggregateDevices.json");
  ::setenv(AggregateDeviceStore::kPathVariable, "", 1);
  EXPECT_EQ(AggregateDeviceStore::pathFromEnvironment(), "/tmp/quorrel_aggregateDevices.json");
  ::setenv(AggregateDeviceStore::kPathVariable, "/var/tmp/other.json", 1);
  EXPECT_EQ(AggregateDeviceStore::pathFromEnvironment(), "/var/tmp/other.json");
  ::unsetenv(AggregateDeviceStore::kPathVariable);
}

}  // namespace
}  // namespace velmar
