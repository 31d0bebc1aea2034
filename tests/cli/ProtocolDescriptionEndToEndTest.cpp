// The executable's description of its protocol: printed without a service,
// true to what the service answers, and naming the same actions and events
// as the reference page docs/protocol.md.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/HostConversation.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using namespace std::chrono_literals;

const std::string kSourceRoot = std::string(VELMAR_TEST_DATA_DIR) + "/../..";
const std::string kReferencePage = kSourceRoot + "/docs/protocol.md";

json description() {
  // A platform that cannot be used: the description needs none.
  return json::parse(testing::printedBy({"--describe-protocol"}, {{"VELMAR_PLATFORM", "amiga"}}));
}

std::set<std::string> namesIn(const json& list) {
  std::set<std::string> names;
  for (const auto& entry : list) names.insert(entry.at("name").get<std::string>());
  return names;
}

// The "### name" headings of each "## Section" of a markdown page.
std::map<std::string, std::set<std::string>> headingsBySection(const std::string& path) {
  std::ifstream file(path);
  EXPECT_TRUE(file) << path;
  std::map<std::string, std::set<std::string>> sections;
  std::string section;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("## ", 0) == 0) section = line.substr(3);
    if (line.rfind("### ", 0) == 0) {
      EXPECT_TRUE(sections[section].insert(line.substr(4)).second) << "twice: " << line;
    }
  }
  return sections;
}

TEST(ProtocolDescriptionEndToEndTest, ReferencePageNamesExactlyTheDescribedActionsAndEvents) {
  const json described = description();
  ASSERT_EQ(namesIn(described["actions"]).size(), described["actions"].size());
  ASSERT_EQ(namesIn(described["events"]).size(), described["events"].size());
  auto headings = headingsBySection(kReferencePage);
  EXPECT_EQ(headings["Actions"], namesIn(described["actions"]));
  EXPECT_EQ(headings["Events"], namesIn(described["events"]));

  // Every event the sources emit by name is described.
  const std::regex emitted(R"re((?:emitEvent|beginEvent)\(\s*"(\w+)")re");
  std::set<std::string> emittedNames;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kSourceRoot + "/src")) {
    if (!entry.is_regular_file()) continue;
    std::stringstream source;
    source << std::ifstream(entry.path()).rdbuf();
    const std::string text = source.str();
    for (std::sregex_iterator it(text.begin(), text.end(), emitted), end; it != end; ++it) {
      emittedNames.insert((*it)[1]);
    }
  }
  ASSERT_GE(emittedNames.size(), 25u);
  for (const auto& name : emittedNames) {
    EXPECT_TRUE(headings["Events"].contains(name)) << name << " is emitted but not described";
  }

  std::set<std::string> kinds;
  for (const auto& frame : described["frames"]) kinds.insert(frame["kind"]);
  EXPECT_EQ(kinds, (std::set<std::string>{"INIT", "EVENT", "RESPONSE"}));

  // Options and variables are named by --help and by the page alike.
  std::stringstream page;
  page << std::ifstream(kReferencePage).rdbuf();
  const std::string help = testing::printedBy({"--help"});
  for (const auto& list : {described["options"], described["environment"]}) {
    ASSERT_FALSE(list.empty());
    for (const std::string& name : namesIn(list)) {
      EXPECT_NE(help.find(name), std::string::npos) << name;
      EXPECT_NE(page.str().find("`" + name), std::string::npos) << name;
    }
  }
}

// Every action with a required parameter, sent without any, is refused as
// its row says: with "missing_parameter" when it lists that code, without a
// code otherwise. Acknowledged actions are acknowledged first.
TEST(ProtocolDescriptionEndToEndTest, ActionsAnswerAsDescribed) {
  const json described = description();
  CliProcess cli;
  ASSERT_TRUE(cli.frames().waitForFrame([](const auto& f) { return f.kind == "INIT"; }, 10s));
  std::vector<json> checked;
  for (const json& action : described["actions"]) {
    bool requiresOne = false;
    for (const auto& parameter : action["parameters"]) requiresOne |= parameter["required"] == true;
    const bool quick = action["acknowledged"] == true && action["queue"] != "microphone" &&
                       action["queue"] != "background";
    if (!requiresOne && !quick) continue;
    cli.send({{"id", action["name"]}, {"action", action["name"]}});
    checked.push_back(action);
  }
  ASSERT_GE(checked.size(), 10u);
  for (const json& action : checked) {
    const std::string name = action["name"];
    const bool acknowledged = action["acknowledged"] == true;
    auto answers = cli.frames().waitForFrames([&](const auto& f) { return f.isResponse(name); },
                                              acknowledged ? 2 : 1, 10s);
    ASSERT_EQ(answers.size(), acknowledged ? 2u : 1u) << name;
    EXPECT_EQ(answers.front().body.contains("isAcknowledgment"), acknowledged) << name;
    const json& answer = answers.back().body;
    if (acknowledged) {
      EXPECT_EQ(answer["success"], true) << name;
      for (const auto& key : action["data"]) EXPECT_TRUE(answer["data"].contains(key)) << key;
      continue;
    }
    EXPECT_EQ(answer["success"], false) << name;
    const auto& errors = action["errors"];
    if (std::find(errors.begin(), errors.end(), "missing_parameter") != errors.end()) {
      EXPECT_EQ(answer["code"], "missing_parameter") << name;
    } else {
      EXPECT_TRUE(action["failsWithoutCode"].get<bool>()) << name;
      EXPECT_FALSE(answer.contains("code")) << name;
    }
  }
  cli.closeStdin();
  EXPECT_EQ(cli.waitForExit(10s), 0);
}

}  // namespace
}  // namespace velmar
