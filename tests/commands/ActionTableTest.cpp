// The action table against the routing rules and against itself.
#include "commands/ActionTable.h"

#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "commands/CommandProcessor.h"

namespace velmar {
namespace {

using Category = CommandProcessor::Category;

// A row's queue is the one the name rules give; only the recording and
// streaming actions leave the shared background pool for the recorder's own
// strand.
TEST(ActionTableTest, EveryRowRoutesAsTheNameRulesSay) {
  for (const ActionRow& row : ActionTable::rows()) {
    const Category byName = CommandProcessor::categoryFor(row.name);
    if (row.queue == ActionQueue::recording) {
      EXPECT_EQ(byName, Category::background) << row.name;
    } else {
      EXPECT_EQ(row.queue, byName) << row.name;
    }
    EXPECT_EQ(CommandProcessor::queueOf(row.name), row.queue) << row.name;
  }
  // Names without a row route by the rules alone, case-sensitively.
  const std::pair<const char*, Category> unlisted[] = {{"noSuchTapAction", Category::tap},
                                                       {"listaudioprocesses", Category::background},
                                                       {"someDeviceThing", Category::device},
                                                       {"Microphone", Category::microphone},
                                                       {"", Category::background}};
  for (const auto& [name, category] : unlisted) {
    EXPECT_EQ(ActionTable::find(name), nullptr) << name;
    EXPECT_EQ(CommandProcessor::queueOf(name), category) << name;
  }
}

TEST(ActionTableTest, RowsAreOnePerNameAndBindTheirQueuesHandler) {
  std::set<std::string_view> names;
  std::set<std::string_view> acknowledgedByDispatch;
  std::set<std::string_view> raceChecked;
  for (const ActionRow& row : ActionTable::rows()) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_EQ(ActionTable::find(row.name), &row) << row.name;
    // The recorder's strand runs the recorder's handlers, and only those.
    EXPECT_EQ(row.recorderHandler != nullptr, row.queue == ActionQueue::recording) << row.name;
    EXPECT_FALSE(row.handler != nullptr && row.recorderHandler != nullptr) << row.name;
    if (!row.aliasOf.empty()) {
      const ActionRow* original = ActionTable::find(row.aliasOf);
      ASSERT_NE(original, nullptr) << row.name;
      EXPECT_EQ(row.handler, original->handler) << row.name;
      EXPECT_EQ(row.queue, original->queue) << row.name;
    }
    for (const ActionParameter& parameter : row.parameters) {
      if (parameter.minimum || parameter.maximum) {
        EXPECT_EQ(parameter.type, ActionParameter::Type::integer) << row.name;
      }
    }
    if (row.raceChecked) raceChecked.insert(row.name);
    if (row.acknowledgment == ActionRow::Acknowledgment::byDispatch) {
      acknowledgedByDispatch.insert(row.name);
    }
  }
  // The quick queries, and the one action kept only to be acknowledged.
  EXPECT_EQ(
      acknowledgedByDispatch,
      (std::set<std::string_view>{"listAudioProcesses", "getRunningAudioProcesses", "listAudioTaps",
                                  "getMicrophoneStatus", "getAudioDevices", "getRecordings"}));
  EXPECT_EQ(raceChecked,
            (std::set<std::string_view>{"listAudioProcesses", "getRunningAudioProcesses"}));
  EXPECT_FALSE(ActionTable::find("getRecordings")->supported());
}

}  // namespace
}  // namespace velmar
