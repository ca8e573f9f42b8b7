// The REGEDIT4 reader and writer: every value type survives a round trip,
// hand-written files mean what regedit would make of them, and no input,
// however broken, crashes the parser or costs the lines that still parse.
#include "platform/posix/regedit_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace tessary::regedit {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A string value as the A functions hold it: UTF-8 with its terminator.
std::vector<uint8_t> Sz(std::string_view s) {
  std::vector<uint8_t> data = Bytes(s);
  data.push_back(0);
  return data;
}

const Value* Get(const Store& store, Root root, const std::string& path, const std::string& name) {
  const Key* key = store.Find(root, SplitKeyPath(path));
  return key ? key->FindValue(name) : nullptr;
}

// Parse, write, parse again: the two trees must match and the second file
// must read back without a skipped line; writing again gives the same text.
void ExpectStableRoundTrip(const Store& store) {
  std::string text = Write(store);
  ParseResult again = Parse(text);
  EXPECT_TRUE(again.recognised);
  EXPECT_EQ(0u, again.skipped_lines) << text;
  EXPECT_TRUE(again.store == store) << text;
  EXPECT_EQ(text, Write(again.store));
}

Store EveryValueType() {
  Store store;
  Key* key = store.root(Root::kLocalMachine).AddSubkey("SOFTWARE");
  key = key->AddSubkey("Quennel")->AddSubkey("QN-Tessary")->AddSubkey("Parameters");
  key->SetValue({"", REG_SZ, Sz("default value")});
  key->SetValue({"Plain", REG_SZ, Sz("text")});
  key->SetValue({"Escapes \\ \"quoted\"", REG_SZ, Sz("C:\\Program Files\\\"x\"\\")});
  key->SetValue({"Unicode \xC3\xBC", REG_SZ,
                 Sz("Gr\xC3\xBC\xC3\x9F"
                    "e \xE2\x98\x83 \xF0\x9F\x98\x80")});
  key->SetValue({"Empty", REG_SZ, Sz("")});
  key->SetValue({"Unterminated", REG_SZ, Bytes("abc")});
  key->SetValue({"Line break", REG_SZ, Sz("one\r\ntwo")});
  key->SetValue({"Expand", REG_EXPAND_SZ, Sz("%HOME%/x")});
  key->SetValue({"DisableDelete", REG_DWORD, {1, 0, 0, 0}});
  key->SetValue({"Max", REG_DWORD, {0xff, 0xff, 0xff, 0xff}});
  key->SetValue({"Short dword", REG_DWORD, {1, 2, 3}});
  std::vector<uint8_t> blob;
  for (int i = 0; i < 300; ++i) blob.push_back(static_cast<uint8_t>(i * 7));
  key->SetValue({"Long binary", REG_BINARY, blob});
  key->SetValue({"Empty binary", REG_BINARY, {}});
  std::vector<uint8_t> multi = Bytes(std::string("a\0bc\0\xC3\xA9\0\0", 8));
  key->SetValue({"Multi", REG_MULTI_SZ, multi});
  key->SetValue({"Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}});
  key->SetValue({"None", REG_NONE, {9}});
  key->SetValue({"Odd type", 0x12345, {1, 2}});
  store.root(Root::kClassesRoot)
      .AddSubkey("CLSID")
      ->AddSubkey("{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}")
      ->AddSubkey("Programmable");
  store.root(Root::kCurrentUser).SetValue({"root value", REG_SZ, Sz("on a root")});
  store.root(Root::kUsers).AddSubkey(".DEFAULT");
  return store;
}

TEST(RegeditFormatRoundTrip, EveryValueTypeSurvives) {
  Store store = EveryValueType();
  ExpectStableRoundTrip(store);
  ParseResult parsed = Parse(Write(store));
  const Value* quad =
      Get(parsed.store, Root::kLocalMachine, "SOFTWARE\\Quennel\\QN-Tessary\\Parameters", "Quad");
  ASSERT_NE(nullptr, quad);
  EXPECT_EQ(static_cast<uint32_t>(REG_QWORD), quad->type);
  EXPECT_EQ(8u, quad->data.size());
  // The empty key is kept: registration writes an empty "Programmable" subkey.
  EXPECT_NE(nullptr,
            parsed.store.Find(Root::kClassesRoot, SplitKeyPath("CLSID\\{E7B62F4E-82F4-11D2-BD41-"
                                                               "00105A0A7E89}\\Programmable")));
}

TEST(RegeditFormatRoundTrip, WritesTheLayoutAnAdministratorExpects) {
  Store store;
  Key* key = store.root(Root::kLocalMachine).AddSubkey("SOFTWARE")->AddSubkey("Quennel");
  key->SetValue({"", REG_SZ, Sz("d")});
  key->SetValue({"Path", REG_SZ, Sz("C:\\x \"y\"")});
  key->SetValue({"DisableDelete", REG_DWORD, {1, 0, 0, 0}});
  key->SetValue({"Bin", REG_BINARY, {0x01, 0xab}});
  key->SetValue({"Multi", REG_MULTI_SZ, Bytes(std::string("a\0\0", 3))});
  key->SetValue({"Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}});
  EXPECT_EQ(
      "REGEDIT4\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel]\n"
      "@=\"d\"\n"
      "\"Path\"=\"C:\\\\x \\\"y\\\"\"\n"
      "\"DisableDelete\"=dword:00000001\n"
      "\"Bin\"=hex:01,ab\n"
      "\"Multi\"=hex(7):61,00,00\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
      "\n",
      Write(store));
}

TEST(RegeditFormatRoundTrip, LongHexWrapsWithContinuations) {
  Store store;
  std::vector<uint8_t> blob(500, 0x5a);
  store.root(Root::kLocalMachine).AddSubkey("K")->SetValue({"Blob", REG_BINARY, blob});
  std::string text = Write(store);
  size_t longest = 0;
  size_t continuations = 0;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    longest = std::max(longest, end - start);
    if (end > start && text[end - 1] == '\\') ++continuations;
  }
  EXPECT_LE(longest, 80u);
  EXPECT_GT(continuations, 10u);
  ExpectStableRoundTrip(store);
}

TEST(RegeditFormatRead, HandWrittenFileMeansWhatRegeditMakesOfIt) {
  ParseResult parsed = Parse(
      "REGEDIT4\r\n"
      "\r\n"
      "; switches for this machine\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Parameters]\r\n"
      "@=\"default\"\r\n"
      "\"DisableDelete\"=dword:00000001\r\n"
      "  \"Spaced\" = dword:A \r\n"
      "\"Dir\"=\"C:\\Program Files\\\\x\"\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"Multi\"=hex(7):61,00,62,00,00\r\n"
      "\"Quad\"=hex(b):ff,00,00,00,00,00,00,00\r\n"
      "\r\n"
      "[HKLM\\SOFTWARE\\Other]\r\n"
      "\"x\"=\"y\"\r\n");
  EXPECT_TRUE(parsed.recognised);
  EXPECT_EQ(0u, parsed.skipped_lines);
  EXPECT_EQ(1u, parsed.comment_lines);
  const std::string params = "SOFTWARE\\Quennel\\QN-Tessary\\Parameters";
  const Value* v = Get(parsed.store, Root::kLocalMachine, params, "");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(Sz("default"), v->data);
  v = Get(parsed.store, Root::kLocalMachine, params, "disabledelete");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), v->type);
  EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0}), v->data);
  v = Get(parsed.store, Root::kLocalMachine, params, "Spaced");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ((std::vector<uint8_t>{10, 0, 0, 0}), v->data);
  // A lone backslash is kept as typed; a doubled one is one backslash.
  v = Get(parsed.store, Root::kLocalMachine, params, "Dir");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(Sz("C:\\Program Files\\x"), v->data);
  v = Get(parsed.store, Root::kLocalMachine, params, "Bin");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), v->data);
  v = Get(parsed.store, Root::kLocalMachine, params, "Multi");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(static_cast<uint32_t>(REG_MULTI_SZ), v->type);
  v = Get(parsed.store, Root::kLocalMachine, params, "Quad");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(static_cast<uint32_t>(REG_QWORD), v->type);
  EXPECT_NE(nullptr, Get(parsed.store, Root::kLocalMachine, "software\\other", "X"));
}

TEST(RegeditFormatRead, DeletionLinesRemoveValuesAndTrees) {
  ParseResult parsed = Parse(
      "REGEDIT4\n\n"
      "[HKEY_CLASSES_ROOT\\A\\B\\C]\n\"v\"=\"1\"\n"
      "[HKEY_CLASSES_ROOT\\A\\D]\n\"gone\"=\"1\"\n\"kept\"=\"1\"\n\"gone\"=-\n"
      "[-HKEY_CLASSES_ROOT\\A\\B]\n"
      "\"after a deleted key\"=\"goes nowhere\"\n"
      "[-HKEY_CLASSES_ROOT\\Never\\There]\n"
      "[-HKEY_CLASSES_ROOT]\n");
  EXPECT_EQ(nullptr, parsed.store.Find(Root::kClassesRoot, SplitKeyPath("A\\B")));
  EXPECT_NE(nullptr, parsed.store.Find(Root::kClassesRoot, SplitKeyPath("A\\D")));
  EXPECT_EQ(nullptr, Get(parsed.store, Root::kClassesRoot, "A\\D", "gone"));
  EXPECT_NE(nullptr, Get(parsed.store, Root::kClassesRoot, "A\\D", "kept"));
  // The value after a deleted key and the attempt to delete a root are not used.
  EXPECT_EQ(2u, parsed.skipped_lines);
}

TEST(RegeditFormatRead, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  ParseResult parsed = Parse(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Beta]\n\"Name\"=\"1\"\n"
      "[hkey_local_machine\\SOFTWARE\\alpha]\n[HKLM\\SOFTWARE\\BETA]\n\"NAME\"=\"2\"\n"
      "[HKLM\\SOFTWARE\\Gamma]\n");
  const Key* software = parsed.store.Find(Root::kLocalMachine, {"SOFTWARE"});
  ASSERT_NE(nullptr, software);
  EXPECT_EQ("Software", software->name);
  ASSERT_EQ(3u, software->subkeys.size());
  EXPECT_EQ("alpha", software->subkeys[0].name);
  EXPECT_EQ("Beta", software->subkeys[1].name);
  EXPECT_EQ("Gamma", software->subkeys[2].name);
  ASSERT_EQ(1u, software->subkeys[1].values.size());
  EXPECT_EQ("Name", software->subkeys[1].values[0].name);
  EXPECT_EQ(Sz("2"), software->subkeys[1].values[0].data);
}

TEST(RegeditFormatRead, Utf16ExportOfTheNewerFormat) {
  // What Windows' own export produces: UTF-16LE with a BOM, strings in hex(2)
  // and hex(7) as UTF-16 too.
  std::string utf16 = "\xFF\xFE";
  std::u16string wide =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\T\u00e9st]\r\n"
      u"\"S\"=\"\u20ac\"\r\n\"E\"=hex(2):25,00,41,00,25,00,00,00\r\n";
  for (char16_t u : wide) {
    utf16.push_back(static_cast<char>(u & 0xff));
    utf16.push_back(static_cast<char>(u >> 8));
  }
  ParseResult parsed = Parse(utf16);
  EXPECT_TRUE(parsed.recognised);
  EXPECT_EQ(0u, parsed.skipped_lines);
  const Value* s = Get(parsed.store, Root::kCurrentUser, "T\xC3\xA9st", "S");
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(Sz("\xE2\x82\xAC"), s->data);
  const Value* e = Get(parsed.store, Root::kCurrentUser, "T\xC3\xA9st", "E");
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(static_cast<uint32_t>(REG_EXPAND_SZ), e->type);
  EXPECT_EQ(Sz("%A%"), e->data);
  ExpectStableRoundTrip(parsed.store);
}

TEST(RegeditFormatRead, Utf8ByteOrderMarkIsSkipped) {
  ParseResult parsed = Parse("\xEF\xBB\xBFREGEDIT4\n\n[HKLM\\K]\n\"v\"=dword:2\n");
  EXPECT_TRUE(parsed.recognised);
  EXPECT_NE(nullptr, Get(parsed.store, Root::kLocalMachine, "K", "v"));
}

TEST(RegeditFormatRead, HeaderAndBlankness) {
  EXPECT_TRUE(Parse("").blank);
  EXPECT_TRUE(Parse(" \n\r\n\t").blank);
  EXPECT_FALSE(Parse("").recognised);
  ParseResult headerless = Parse("[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:1\n");
  EXPECT_FALSE(headerless.recognised);
  EXPECT_FALSE(headerless.blank);
  // Readers still honour what an administrator wrote without the header.
  EXPECT_NE(nullptr, Get(headerless.store, Root::kLocalMachine, "K", "v"));
  EXPECT_FALSE(Parse("REGEDIT5\n").recognised);
  EXPECT_TRUE(Parse("REGEDIT4").recognised);
}

TEST(RegeditFormatMalformed, KeepsEveryLineThatStillParses) {
  std::string text =
      "REGEDIT4\n\n"
      "\"before any key\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\Good]\n"
      "\"a\"=\"1\"\n"
      "\"unterminated\"=\"abc\n"
      "\"trailing junk\"=\"abc\" junk\n"
      "\"Na\n"
      "\"no equals\" \"x\"\n"
      "\"bad dword\"=dword:123456789\n"
      "\"empty dword\"=dword:\n"
      "\"bad hex\"=hex:01,zz\n"
      "\"gap in hex\"=hex:01,,02\n"
      "\"bad type\"=hex(q):01\n"
      "\"unknown\"=str:abc\n"
      "@\n"
      "garbage line\n"
      "[HKEY_LOCAL_MACHINE\\Unclosed\n"
      "\"lost\"=\"in unclosed\"\n"
      "[HKEY_NOWHERE\\X]\n"
      "\"lost\"=\"in unknown root\"\n"
      "[HKEY_LOCAL_MACHINE\\Good]\n"
      "\"b\"=hex:01,\\\n"
      "[HKEY_LOCAL_MACHINE\\AfterContinuation]\n"
      "\"c\"=dword:3\n";
  text += std::string("\"nul\0inside\"=\"x\"\n", 17);
  ParseResult parsed = Parse(text);
  EXPECT_TRUE(parsed.recognised);
  EXPECT_EQ(18u, parsed.skipped_lines);
  const Key* good = parsed.store.Find(Root::kLocalMachine, {"Good"});
  ASSERT_NE(nullptr, good);
  ASSERT_EQ(2u, good->values.size());
  EXPECT_EQ("a", good->values[0].name);
  // A continuation that runs into a key line ends the value there.
  EXPECT_EQ((std::vector<uint8_t>{1}), good->values[1].data);
  EXPECT_NE(nullptr, Get(parsed.store, Root::kLocalMachine, "AfterContinuation", "c"));
  EXPECT_EQ(nullptr, parsed.store.Find(Root::kLocalMachine, {"Unclosed"}));
  ExpectStableRoundTrip(parsed.store);
}

TEST(RegeditFormatMalformed, BinaryJunkAndHugeLinesDoNotCrash) {
  std::mt19937 random(1234);
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk.push_back(static_cast<char>(random()));
  ParseResult parsed = Parse(junk);
  EXPECT_FALSE(parsed.recognised);
  ExpectStableRoundTrip(parsed.store);

  std::string huge = "REGEDIT4\n\n[HKLM\\K]\n\"long\"=\"" + std::string(8 << 20, 'x') + "\"\n" +
                     "\"hex\"=hex:" + std::string(1 << 20, ',') + "\n" + "[" +
                     std::string(1 << 20, '\\') + "]\n" + "\"after\"=dword:1\n";
  parsed = Parse(huge);
  const Value* v = Get(parsed.store, Root::kLocalMachine, "K", "long");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ((8u << 20) + 1, v->data.size());
  EXPECT_EQ(3u, parsed.skipped_lines);  // the comma run, the key of nothing but separators, "after"
}

TEST(RegeditFormatMalformed, NestingBeyondWindowsLimitIsRefused) {
  std::string deep = "[HKLM";
  for (int i = 0; i < 600; ++i) deep += "\\k";
  ParseResult parsed = Parse("REGEDIT4\n\n" + deep + "]\n\"v\"=\"1\"\n");
  EXPECT_EQ(2u, parsed.skipped_lines);
  EXPECT_TRUE(parsed.store.root(Root::kLocalMachine).subkeys.empty());

  std::string ok = "[HKLM";
  for (int i = 0; i < 512; ++i) ok += "\\k";
  parsed = Parse("REGEDIT4\n\n" + ok + "]\n");
  EXPECT_EQ(0u, parsed.skipped_lines);
  ExpectStableRoundTrip(parsed.store);
}

TEST(RegeditFormatMalformed, RandomTextOfRegistryLikePiecesRoundTrips) {
  // Cheap stand-in for the fuzzer in every test run: shuffled fragments of
  // the grammar, glued at random.
  const char* pieces[] = {"REGEDIT4\n", "[HKLM\\",
                          "[-HKCU\\",   "[HKEY_CLASSES_ROOT",
                          "]",          "\n",
                          "\r\n",       "\"",
                          "\\",         "@",
                          "=",          "dword:",
                          "hex:",       "hex(7):",
                          "hex(b):",    "01,",
                          "ff",         ",\\\n  ",
                          "-",          "a",
                          "B",          " ",
                          ";c",         "\xC3\xA9",
                          "\xFF",       "(",
                          ")",          "\t",
                          "0",          "\"x\"=\"y\"\n"};
  std::mt19937 random(42);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int n = static_cast<int>(random() % 60);
    for (int i = 0; i < n; ++i) text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
    ParseResult parsed = Parse(text);
    std::string written = Write(parsed.store);
    ParseResult again = Parse(written);
    ASSERT_TRUE(again.store == parsed.store) << "input:\n" << text << "\nwritten:\n" << written;
    ASSERT_EQ(0u, again.skipped_lines) << written;
  }
}

TEST(RegeditFormatMalformed, LargeFilesInAnyOrderStayFast) {
  // Many values in one key, many keys in reverse order: a reader that looked
  // names up one by one would take minutes here.
  std::string text = "REGEDIT4\n\n[HKLM\\Big]\n";
  for (int i = 0; i < 50000; ++i) text += "\"v" + std::to_string(i) + "\"=dword:1\n";
  for (int i = 50000; i > 0; --i) text += "[HKLM\\Keys\\k" + std::to_string(i) + "]\n";
  auto start = std::chrono::steady_clock::now();
  ParseResult parsed = Parse(text);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(20));  // about 2 s under the sanitizers
  const Key* big = parsed.store.Find(Root::kLocalMachine, {"Big"});
  ASSERT_NE(nullptr, big);
  EXPECT_EQ(50000u, big->values.size());
  const Key* keys = parsed.store.Find(Root::kLocalMachine, {"Keys"});
  ASSERT_NE(nullptr, keys);
  ASSERT_EQ(50000u, keys->subkeys.size());
  EXPECT_TRUE(std::is_sorted(keys->subkeys.begin(), keys->subkeys.end(),
                             [](const Key& a, const Key& b) { return NameLess(a.name, b.name); }));
}

TEST(RegeditFormatRead, ValueDeletedAndSetAgainMovesToTheEnd) {
  ParseResult parsed = Parse(
      "REGEDIT4\n\n[HKLM\\K]\n\"a\"=dword:1\n\"b\"=dword:2\n\"a\"=-\n\"A\"=dword:3\n"
      "[-HKLM\\K\\Sub]\n[HKLM\\K\\Sub]\n[-HKLM\\K\\Sub]\n[HKLM\\K\\sub]\n");
  const Key* key = parsed.store.Find(Root::kLocalMachine, {"K"});
  ASSERT_NE(nullptr, key);
  ASSERT_EQ(2u, key->values.size());
  EXPECT_EQ("b", key->values[0].name);
  EXPECT_EQ("A", key->values[1].name);
  ASSERT_EQ(1u, key->subkeys.size());
  EXPECT_EQ("sub", key->subkeys[0].name);
}

TEST(RegeditFormatNames, CompareAndSplit) {
  EXPECT_TRUE(NamesEqual("SOFTWARE", "software"));
  EXPECT_FALSE(NamesEqual("\xC3\xA9", "\xC3\x89"));  // only ASCII folds
  EXPECT_TRUE(NameLess("alpha", "BETA"));
  EXPECT_FALSE(NameLess("beta", "ALPHA"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), SplitKeyPath("\\a\\\\b\\"));
  EXPECT_TRUE(SplitKeyPath("").empty());
  Root root;
  EXPECT_TRUE(RootFromName("hkcr", &root));
  EXPECT_EQ(Root::kClassesRoot, root);
  EXPECT_TRUE(RootFromName("HKEY_USERS", &root));
  EXPECT_EQ(Root::kUsers, root);
  EXPECT_FALSE(RootFromName("HKEY_CURRENT_CONFIG", &root));
  EXPECT_STREQ("HKEY_LOCAL_MACHINE", RootName(Root::kLocalMachine));
  EXPECT_FALSE(NameIsWritable("a\nb"));
  EXPECT_TRUE(NameIsWritable("a b\\\"]"));
}

}  // namespace
}  // namespace tessary::regedit
