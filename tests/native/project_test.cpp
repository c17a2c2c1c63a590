// The project file of `selfpatch make`: what a valid file gives, and the faults
// it is refused for, each named with the file and line.
#include "builder/project.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/native/project_fixture.h"

namespace {

class ProjectFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* version : {"v1", "v2", "v3"}) {
      folders_.Write(std::string(version) + "/app.exe", std::string("app ") + version);
      folders_.Write(std::string(version) + "/bin/plugin.dll", std::string("plugin ") + version);
    }
    folders_.Write("notes.exe", "MZ notes");
  }

  Project Parse(const std::string& text) { return ParseProject(text, folders_ / "product.toml"); }

  // The message of the ProjectError that `text` is refused with.
  std::string Refusal(const std::string& text) {
    try {
      Parse(text);
    } catch (const ProjectError& error) {
      return error.what();
    }
    return "(accepted)";
  }

  ProjectFolders folders_;
};

const char kProduct[] = "[product]\nname = \"Sample Editor\"\nfrom = \"1.0\"\nto = \"3.0\"\n";
const char kFolders[] = "[folders]\nnew = \"v3\"\nold = [\"v1\", \"v2\"]\n";

TEST_F(ProjectFileTest, ReadsEverySectionWithPathsFromTheProjectFolder) {
  const Project project = Parse(std::string(kProduct) + "language = \"ja\"\ncodepage = 932\n" +
                                kFolders +
                                "[options]\nchain = false\nfull = false\n"
                                "[texts]\ncaption = \"%s %s update\"\n\"23\" = \"not found %s\"\n"
                                "[[files]]\npath = \"bin/plugin.dll\"\noptional = true\n"
                                "platform = \"nt\"\ncreate = false\nfull = true\n"
                                "[pack]\nrun = [\"notes.exe\"]\nsilent = true\nkill_parent = true\n");
  EXPECT_EQ(project.productName, "Sample Editor");
  EXPECT_EQ(project.fromVersion, "1.0");
  EXPECT_EQ(project.toVersion, "3.0");
  EXPECT_EQ(project.language, "ja");
  EXPECT_EQ(project.codepage, 932);
  EXPECT_EQ(project.newFolder, folders_ / "v3");
  ASSERT_EQ(project.oldFolders.size(), 2u);
  EXPECT_EQ(project.oldFolders[0], folders_ / "v1");
  EXPECT_EQ(project.oldFolders[1], folders_ / "v2");
  EXPECT_FALSE(project.chain);
  EXPECT_FALSE(project.full);
  // Texts keep the order of the file, not of their names.
  ASSERT_EQ(project.texts.size(), 2u);
  EXPECT_EQ(project.texts[0].first, "caption");
  EXPECT_EQ(project.texts[1].first, "23");
  EXPECT_EQ(project.texts[1].second, "not found %s");

  const FileOptions plugin = project.OptionsFor("bin/plugin.dll");
  EXPECT_TRUE(plugin.optional);
  EXPECT_EQ(plugin.platform, Platform::kNt);
  EXPECT_FALSE(plugin.create);
  EXPECT_TRUE(plugin.full);
  // A file without an entry takes the project-wide settings.
  const FileOptions app = project.OptionsFor("app.exe");
  EXPECT_FALSE(app.optional);
  EXPECT_EQ(app.platform, Platform::kAny);
  EXPECT_TRUE(app.create);
  EXPECT_FALSE(app.full);

  ASSERT_EQ(project.pack.run.size(), 1u);
  EXPECT_EQ(project.pack.run[0], folders_ / "notes.exe");
  EXPECT_TRUE(project.pack.silent);
  EXPECT_TRUE(project.pack.killParent);
}

TEST_F(ProjectFileTest, DefaultsWhenOptionalSectionsAreLeftOut) {
  const Project project = Parse(std::string(kProduct) + kFolders);
  EXPECT_EQ(project.language, "en");
  EXPECT_EQ(project.codepage, 0);
  EXPECT_TRUE(project.chain);
  EXPECT_TRUE(project.full);
  EXPECT_TRUE(project.texts.empty());
  EXPECT_TRUE(project.files.empty());
  EXPECT_TRUE(project.pack.run.empty());
  EXPECT_FALSE(project.pack.silent);
}

TEST_F(ProjectFileTest, FaultsAreNamedWithFileAndLine) {
  struct Case {
    const char* what;
    std::string text;
    std::string expected;  // part of the message after "product.toml:"
  };
  const std::string p = kProduct;  // lines 1-4
  const std::string f = kFolders;  // lines 5-7 after p
  const Case cases[] = {
      {"syntax error", p + "name = \n", "5: "},
      {"unknown section", p + f + "[extras]\nx = 1\n", "8: unknown key 'extras'"},
      {"unknown key", p + "version = \"2\"\n" + f, "5: unknown key 'version' in [product]"},
      {"unknown key in a file entry", p + f + "[[files]]\npath = \"app.exe\"\ncompress = true\n",
       "10: unknown key 'compress' in [[files]]"},
      {"missing product", f, "1: missing section [product]"},
      {"missing version", "[product]\nname = \"x\"\nfrom = \"1\"\n" + f, "missing key 'to' in [product]"},
      {"version not a text", "[product]\nname = \"x\"\nfrom = 1\nto = \"2\"\n" + f,
       "3: [product] from must be a text"},
      {"bad language", p + "language = \"de\"\n" + f, "5: [product] language 'de'"},
      {"bad code page", p + "codepage = -3\n" + f, "5: [product] codepage"},
      {"missing new folder", p + "[folders]\nold = [\"v1\"]\n", "missing key 'new' in [folders]"},
      {"new folder absent", p + "[folders]\nnew = \"v9\"\nold = []\n", "6: [folders] new 'v9' does not exist"},
      {"old folder absent", p + "[folders]\nnew = \"v3\"\nold = [\"v1\",\n \"v0\"]\n",
       "8: [folders] old 'v0' does not exist"},
      {"old folder is a file", p + "[folders]\nnew = \"v3\"\nold = [\"notes.exe\"]\n",
       "'notes.exe' is not a folder"},
      {"old folder twice", p + "[folders]\nnew = \"v3\"\nold = [\"v1\", \"v1\"]\n", "names 'v1' twice"},
      {"new folder among the old", p + "[folders]\nnew = \"v3\"\nold = [\"v3\"]\n",
       "old names the new folder"},
      {"old not a list", p + "[folders]\nnew = \"v3\"\nold = \"v1\"\n", "7: [folders] old must be a list"},
      {"option not a flag", p + f + "[options]\nchain = \"yes\"\n", "9: [options] chain must be true or false"},
      {"unknown text", p + f + "[texts]\nnonsense = \"x\"\n", "9: [texts] 'nonsense'"},
      {"text key out of range", p + f + "[texts]\n\"50\" = \"x\"\n", "9: [texts] '50'"},
      {"text key twice", p + f + "[texts]\ncaption = \"%s %s\"\n\"5\" = \"%s\"\n",
       "10: [texts] '5' sets key 5 a second time"},
      {"conversion not fitting the arguments", p + f + "[texts]\ncaption = \"%d %s\"\n",
       "9: [texts] caption: "},
      {"text outside the code page", p + f + "[texts]\ncaption = \"\u65e5\u672c %s %s\"\n",
       "9: [texts] caption: "},
      {"product name outside the code page", "[product]\nname = \"\u65e5\u672c\"\nfrom = \"1\"\nto = \"2\"\n" + f,
       "2: [product] name: "},
      {"file not in the new folder", p + f + "[[files]]\npath = \"bin/other.dll\"\n",
       "9: [[files]] path 'bin/other.dll' is not a file of the new folder"},
      {"file path with backslashes", p + f + "[[files]]\npath = 'bin\\plugin.dll'\n", "9: [[files]] path"},
      {"file path leaving the folder", p + f + "[[files]]\npath = \"../v1/app.exe\"\n",
       "must be relative to the new folder"},
      {"file path absolute", p + f + "[[files]]\npath = \"/etc/passwd\"\n", "must be relative"},
      {"file entry without path", p + f + "[[files]]\noptional = true\n", "missing key 'path' in [[files]]"},
      {"file entry twice", p + f + "[[files]]\npath = \"app.exe\"\n[[files]]\npath = \"app.exe\"\n",
       "11: [[files]] path 'app.exe' has a second entry"},
      {"bad platform", p + f + "[[files]]\npath = \"app.exe\"\nplatform = \"xp\"\n",
       "10: [[files]] platform 'xp' is not"},
      {"files not a list of tables", "files = 3\n" + p + f, "1: 'files' must be written as [[files]]"},
      {"follow-up program absent", p + f + "[pack]\nrun = [\"readme.exe\"]\n",
       "9: [pack] run: 'readme.exe' is not a file"},
      {"switch not a flag", p + f + "[pack]\nsilent = 1\n", "9: [pack] silent must be true or false"},
  };
  for (const Case& c : cases) {
    const std::string message = Refusal(c.text);
    EXPECT_EQ(message.find((folders_ / "product.toml").string() + ":"), 0u) << c.what << ": " << message;
    EXPECT_NE(message.find(c.expected), std::string::npos)
        << c.what << ": expected '" << c.expected << "' in: " << message;
  }
}

TEST_F(ProjectFileTest, LoadNamesAMissingProjectFile) {
  try {
    LoadProject(folders_ / "absent.toml");
    FAIL() << "accepted a missing file";
  } catch (const ProjectError& error) {
    EXPECT_NE(std::string(error.what()).find("absent.toml: cannot read"), std::string::npos);
  }
}

}  // namespace
