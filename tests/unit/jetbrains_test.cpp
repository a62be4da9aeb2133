#include "providers/jetbrains.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/e2e_harness.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

namespace fs = std::filesystem;

const Timestamp kNow{std::chrono::seconds(1'796'576'595)};
constexpr long long kNoQuotaFile = 0;

// An option element; the value's double quotes escaped, as the IDE writes its JSON.
std::string option(const std::string& name, std::string v) {
  for (std::size_t at = v.find('"'); at != std::string::npos; at = v.find('"', at)) v.replace(at, 1, "&quot;");
  return "<option name=\"" + name + "\" value=\"" + v + "\" />";
}

std::string quotaXML(const std::string& quotaInfo, const std::string& nextRefill = "") {
  return "<application><component name='AIAssistantQuotaManager2'>" + option("nextRefill", nextRefill) +
         option("quotaInfo", quotaInfo) + "</component></application>";
}

// A configuration folder of IDEs: each entry "Root/Folder" gets a quota file modified `seconds` after a fixed
// instant (kNoQuotaFile: a folder without one).
struct Home {
  testing::TempDir dir;
  testing::ServiceWorld world{kNow, Provider::jetBrains};
  const fs::file_time_type base = fs::file_time_type::clock::now();
  Home() { world.environment.set("XDG_CONFIG_HOME", dir.path().string()); }

  fs::path add(const std::string& folder, long long seconds = 1, const std::string& content = "") {
    const fs::path file = dir.path() / folder / jetbrains::kQuotaFile;
    fs::create_directories(file.parent_path());
    if (seconds == kNoQuotaFile) return file;
    std::ofstream(file) << content;
    fs::last_write_time(file, base + std::chrono::seconds(seconds));
    return file;
  }
  std::string found() const {
    const auto where = [&](const auto& f) { return fs::relative(f.path, dir.path()).string() + " " + f.ideName; };
    return testing::outcomeOf([&] { return JetBrainsService(world.context).findQuotaFile(); }, where);
  }
};

TEST(JetBrains, FindsTheNewestQuotaFileOfAKnownIDE) {
  const std::string xml = "/options/AIAssistantQuotaManager2.xml", none = "No JetBrains IDE with AI Assistant detected";
  const std::pair<std::vector<std::pair<std::string, long long>>, std::string> cases[] = {
      {{{"JetBrains/Toolbox", 1}, {"Other/PyCharm2024", 1}, {"JetBrains/PyCharm2024.1", kNoQuotaFile}}, none},
      {{{"JetBrains/GoLand2024", 100}, {"Google/androidstudio2024", 200}, {"JetBrains/RIDER2023", 150}},
       "Google/androidstudio2024" + xml + " Android Studio"},
      {{{"Google/AndroidStudio2024", 9}, {"JetBrains/CLion2024", 9}}, "JetBrains/CLion2024" + xml + " CLion"},
  };
  for (const auto& [folders, want] : cases) {
    Home home;
    for (const auto& [folder, seconds] : folders) home.add(folder, seconds);
    EXPECT_EQ(home.found(), want);
  }
  // XDG_CONFIG_HOME defaults to $HOME/.config, and a relative one counts as none; without either there is nowhere
  // to look.
  Home home;
  home.add(".config/JetBrains/DataSpell2024");
  for (const char* ignored : {"", "relative/xdg", "."}) {
    home.world.environment = MapEnvironment({{"HOME", home.dir.path().string()}, {"XDG_CONFIG_HOME", ignored}});
    EXPECT_EQ(home.found(), ".config/JetBrains/DataSpell2024" + xml + " DataSpell") << ignored;
  }
  home.world.environment = MapEnvironment();
  EXPECT_EQ(home.found(), none);
}

TEST(JetBrains, ReadsTheQuotaFile) {
  const auto quota = [](const std::string& figures) { return quotaXML("{" + figures + "}"); };
  const std::string tenth = R"("current":"1","maximum":"10","tariffQuota":)";
  const std::string ide = "/100 monthly 'IDE: PyCharm'";
  const std::string none = "No quota information found in JetBrains AI configuration";
  const std::string invalid = "Could not parse JetBrains AI quota: Invalid quotaInfo JSON";
  const std::string half = R"({"current":"1","maximum":"2"})";
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {quotaXML(R"({"type":"Available","current":"250","maximum":"1000"})", R"({"next":"2027-01-01T00:00:00.5Z"})"),
       "25/100 monthly @2027-01-01T00:00:00.500Z 'Plan: Available \u00B7 IDE: PyCharm'"},
      {quota(tenth + R"({"available":"8"})"), "20" + ide}, {quota(tenth + R"({"available":"12"})"), "0" + ide},
      {quota(R"("current":"15","maximum":"10")"), "100" + ide}, {quota(R"("current":"-1","maximum":"4")"), "-25" + ide},
      {quota(R"("current":"1","maximum":"-4")"), "0" + ide}, {quota(R"("current":"1","maximum":4)"), "0" + ide},
      // An infinite quotient is no share of the quota.
      {quota(tenth + R"({},"type":7)"), "10" + ide}, {quota(R"("current":"-1e308","maximum":"1e-308")"), "0" + ide},
      {quotaXML(R"({"current":"1","maximum":"4"})", "{not json"), "25" + ide}, {quotaXML(""), none},
      // Not well-formed: the patterns find the options, name before value or after it.
      {"<application><component name='AIAssistantQuotaManager2'>" + option("quotaInfo", half), "50" + ide},
      {"<broken <option value='{&quot;current&quot;:&quot;3&quot;,&quot;maximum&quot;:&quot;4&quot;}' "
       "name = 'quotaInfo'>", "75" + ide},
      // Well-formed: only the component's options count.
      {"<application>" + option("quotaInfo", half) + "</application>", none},
      {"<broken \xFF" + option("quotaInfo", "{}"), none}, {quotaXML("[1]"), invalid}, {quotaXML("{"), invalid},
  };
  // clang-format on
  const auto show = [](const UsageData& r) { return testing::recordText(r, kNow); };
  for (const auto& [content, want] : cases) {
    Home home;
    home.add("JetBrains/PyCharm2024", 1, content);
    EXPECT_EQ(testing::outcomeOf([&] { return JetBrainsService(home.world.context).fetchUsage(); }, show), want)
        << content;
  }
  // In order: "&amp;" after "&quot;" and before "&lt;".
  EXPECT_EQ(jetbrains::unescapeXML("&amp;lt;&#10;&apos;&gt;&amp;quot;"), "<\n'>&quot;");
}

// Only a regular file of at most 1 MiB is read, and a FIFO in its place never blocks the fetch.
TEST(JetBrains, ReadsOnlyABoundedRegularFile) {
  Home home;
  const fs::path file = home.add("JetBrains/WebStorm2024"), fifo = file.string() + "-p", loop = file.string() + "-l";
  JetBrainsService service(home.world.context);
  const auto read = [&](const fs::path& path) { return testing::errorText([&] { service.readQuotaFile(path, {}); }); };
  EXPECT_EQ(read(file.string() + ".gone"), "JetBrains AI quota file not found at " + file.string() + ".gone");
  std::ofstream(file, std::ios::app) << std::string(jetbrains::kMaxQuotaFileBytes + 1, ' ');
  EXPECT_EQ(read(file), "Could not parse JetBrains AI quota: Cannot read file: it is larger than 1048576 bytes");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(read(fifo), "Could not parse JetBrains AI quota: Cannot read file: it is not a regular file");
  fs::create_symlink(loop, loop);
  EXPECT_EQ(read(loop), "Could not parse JetBrains AI quota: Cannot read file: Too many levels of symbolic links");
}

}  // namespace
}  // namespace dapplewick
