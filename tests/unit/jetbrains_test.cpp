#include "providers/jetbrains.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/dates.hpp"
#include "support/e2e_harness.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

namespace fs = std::filesystem;

const Timestamp kNow{std::chrono::seconds(1'796'576'595)};

std::string option(const std::string& name, const std::string& value) {
  return "<option name=\"" + name + "\" value=\"" + value + "\" />";
}

std::string quotaXML(const std::string& quotaInfo, const std::string& nextRefill = "") {
  return "<application>\n  <component name=\"AIAssistantQuotaManager2\">\n    " + option("nextRefill", nextRefill) +
         "\n    " + option("quotaInfo", quotaInfo) + "\n  </component>\n</application>\n";
}

std::string escaped(std::string json) {
  for (std::size_t at = json.find('"'); at != std::string::npos; at = json.find('"', at)) json.replace(at, 1, "&quot;");
  return json;
}

// A configuration folder of IDEs: each entry "Root/Folder" gets a quota file modified at `seconds`.
struct Home {
  testing::TempDir dir;
  testing::ServiceWorld world{kNow};
  Home() { world.environment.set("XDG_CONFIG_HOME", dir.path().string()); }

  fs::path add(const std::string& folder, long long seconds = 1'700'000'000, const std::string& content = "") {
    const fs::path file = dir.path() / folder / jetbrains::kQuotaFile;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << content;
    fs::last_write_time(file, fs::file_time_type::clock::now() +
                                  (std::chrono::seconds(seconds) - std::chrono::seconds(1'700'000'000)));
    return file;
  }
  std::string found() const {
    return testing::outcomeOf([&] { return JetBrainsService(world.context).findQuotaFile(); },
                              [&](const jetbrains::QuotaFile& f) {
                                return fs::relative(f.path, dir.path()).string() + " " + f.ideName;
                              });
  }
};

TEST(JetBrains, FindsTheNewestQuotaFileOfAKnownIDE) {
  const std::string file = "/options/AIAssistantQuotaManager2.xml ";
  struct Case {
    std::vector<std::pair<std::string, long long>> folders;  // with a quota file, modified at
    std::vector<std::string> empty;                          // without one
    std::string want;
  };
  const std::string none = "No JetBrains IDE with AI Assistant detected";
  const Case cases[] = {
      {{{"JetBrains/IntelliJIdea2024.3", 1}}, {}, "JetBrains/IntelliJIdea2024.3" + file + "IntelliJ IDEA"},
      {{{"Google/androidstudio2024.1", 1}}, {}, "Google/androidstudio2024.1" + file + "Android Studio"},
      {{{"JetBrains/Toolbox", 1}, {"Other/PyCharm2024", 1}}, {"JetBrains/PyCharm2024.1"}, none},
      {{{"JetBrains/GoLand2024", 100}, {"Google/AndroidStudio2024", 200}, {"JetBrains/RIDER2023", 150}}, {},
       "Google/AndroidStudio2024" + file + "Android Studio"},
      {{{"Google/AndroidStudio2024", 100}, {"JetBrains/CLion2024", 100}}, {}, "JetBrains/CLion2024" + file + "CLion"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    Home home;
    for (const auto& [folder, seconds] : c.folders) home.add(folder, seconds);
    for (const auto& folder : c.empty) fs::create_directories(home.dir.path() / folder / "options");
    EXPECT_EQ(home.found(), c.want);
  }
  // XDG_CONFIG_HOME defaults to $HOME/.config; without either there is nowhere to look.
  Home home;
  home.add(".config/JetBrains/DataSpell2024");
  home.world.environment = MapEnvironment({{"HOME", home.dir.path().string()}, {"XDG_CONFIG_HOME", ""}});
  EXPECT_EQ(home.found(), ".config/JetBrains/DataSpell2024" + file + "DataSpell");
  home.world.environment = MapEnvironment();
  EXPECT_EQ(home.found(), none);
}

TEST(JetBrains, ReadsTheQuotaFile) {
  const std::string next = escaped(R"({"type":"Known","next":"2027-01-01T00:00:00.5Z"})");
  struct Case {
    std::string content, want;  // used, reset, note
  };
  const auto info = [](const std::string& json) { return quotaXML(escaped(json)); };
  const Case cases[] = {
      {quotaXML(escaped(R"({"type":"Available","current":"250","maximum":"1000"})"), next),
       "25 2027-01-01T00:00:00Z Plan: Available \u00B7 IDE: PyCharm"},
      {info(R"({"current":"250","maximum":"1000","tariffQuota":{"available":"900"}})"), "10 - IDE: PyCharm"},
      {info(R"({"current":"250","maximum":"1000","tariffQuota":{"available":"1200"}})"), "0 - IDE: PyCharm"},
      {info(R"({"current":"250","maximum":"1000","tariffQuota":{}})"), "25 - IDE: PyCharm"},
      {info(R"({"current":"1500","maximum":"1000"})"), "100 - IDE: PyCharm"},
      {info(R"({"current":"-250","maximum":"1000"})"), "-25 - IDE: PyCharm"},
      {info(R"({"current":"250","maximum":"0"})"), "0 - IDE: PyCharm"},
      {info(R"({"current":"250","maximum":1000,"type":7})"), "0 - IDE: PyCharm"},
      {info(R"({"current":" 250","maximum":"1000"})"), "0 - IDE: PyCharm"},
      // An infinite quotient is no share of the quota.
      {info(R"({"current":"-1e308","maximum":"1e-308"})"), "0 - IDE: PyCharm"},
      {quotaXML(escaped(R"({"current":"1","maximum":"4"})"), escaped(R"({"next":"2027-01-01T00:00:00Z"})")),
       "25 2027-01-01T00:00:00Z IDE: PyCharm"},
      {quotaXML(escaped(R"({"current":"1","maximum":"4"})"), escaped(R"({"next":"2027-01-01"})")), "25 - IDE: PyCharm"},
      {quotaXML(escaped(R"({"current":"1","maximum":"4"})"), "{not json"), "25 - IDE: PyCharm"},
      // Not well-formed: the patterns find the options, name before value or after it.
      {"<application><component name='AIAssistantQuotaManager2'>" +
           option("quotaInfo", escaped(R"({"current":"1","maximum":"2"})")),
       "50 - IDE: PyCharm"},
      {"<broken <option value='" + escaped(R"({"current":"3","maximum":"4"})") + "' name = 'quotaInfo'>",
       "75 - IDE: PyCharm"},
      // Well-formed: only the component's options count.
      {"<application>" + option("quotaInfo", escaped(R"({"current":"1","maximum":"2"})")) + "</application>",
       "No quota information found in JetBrains AI configuration"},
      {quotaXML(""), "No quota information found in JetBrains AI configuration"},
      {"<broken \xFF" + option("quotaInfo", "{}"), "No quota information found in JetBrains AI configuration"},
      {info("[1]"), "Could not parse JetBrains AI quota: Invalid quotaInfo JSON"},
      {info("{"), "Could not parse JetBrains AI quota: Invalid quotaInfo JSON"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Home home;
    const std::string path = home.add("JetBrains/PyCharm2024", 1, c.content).string();
    const auto describe = [](const UsageData& r) {
      EXPECT_EQ(r.limit, 100);
      EXPECT_EQ(r.lastUpdated, kNow);
      return std::to_string(static_cast<int>(r.used)) + " " + (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") +
             " " + r.note.value_or("-");
    };
    EXPECT_EQ(testing::outcomeOf([&] { return JetBrainsService(home.world.context).fetchUsage(); }, describe), c.want);
  }
  // In order: "&amp;" after "&quot;" and before "&lt;".
  EXPECT_EQ(jetbrains::unescapeXML("&amp;lt;&#10;&apos;&gt;&amp;quot;"), "<\n'>&quot;");
}

// Only a regular file of at most 1 MiB is read, and a FIFO in its place never blocks the fetch.
TEST(JetBrains, ReadsOnlyABoundedRegularFile) {
  Home home;
  const fs::path file = home.add("JetBrains/WebStorm2024", 1, quotaXML(escaped(R"({"current":"1","maximum":"2"})")));
  JetBrainsService service(home.world.context);
  const auto read = [&](const fs::path& path) { return testing::errorText([&] { service.readQuotaFile(path, {}); }); };
  EXPECT_EQ(read(file), "no error");
  EXPECT_EQ(read(file.string() + ".gone"), "JetBrains AI quota file not found at " + file.string() + ".gone");
  std::ofstream(file, std::ios::app) << std::string(jetbrains::kMaxQuotaFileBytes, ' ');
  EXPECT_EQ(read(file), "Could not parse JetBrains AI quota: Cannot read file: it is larger than 1048576 bytes");
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(read(file), "Could not parse JetBrains AI quota: Cannot read file: it is not a regular file");
  fs::remove(file);
  fs::create_symlink(file, file);
  EXPECT_EQ(read(file), "Could not parse JetBrains AI quota: Cannot read file: Too many levels of symbolic links");
}

}  // namespace
}  // namespace dapplewick
