#include <sqlite3.h>

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "platform/registry_api.h"
#include "platform/sqlite_registry.h"
#include "reg_file_reader.h"
#include "reg_file_writer.h"
#include "reg_import.h"
#include "temp_dir.h"
#include "value_format.h"

namespace velmo::tools {
namespace {

using namespace velmo::platform;

std::string Utf16File(std::u16string_view text) { return "\xFF\xFE" + Utf16Bytes(text); }

std::vector<RegEntry> ReadAll(const std::filesystem::path& file) {
  RegFileReader reader(file);
  std::vector<RegEntry> entries;
  RegEntry entry;
  while (reader.Next(&entry)) entries.push_back(entry);
  return entries;
}

std::string Sz(std::u16string_view text) { return Utf16Bytes(std::u16string(text) + u'\0'); }

class RegFileTest : public ::testing::Test {
 protected:
  std::filesystem::path Write(std::string_view content) {
    dir_.Write(u"f.reg", content);
    return dir_.Host(u"f.reg");
  }
  testing::TempDir dir_;
};

TEST_F(RegFileTest, ReadsEveryKindOfLineOfAVersion5File) {
  const auto file =
      Write(Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
                      u"[HKEY_CURRENT_USER\\Software\\T\\]\r\n"
                      u"@=\"C:\\\\dir \\\"q\\\" \\n\"\r\n"
                      u"\"d\"=dword:8000002A ; why\r\n"
                      u"\"b\"=hex:01,02,\\\r\n  03,04\r\n"
                      u"\"e\"=hex(2):25,00,00,00\r\n"
                      u"\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                      u"\"n\"=hex(0):\r\n"
                      u"\"gone\"=-\r\n"
                      u"[-HKLM\\SOFTWARE\\Old]\r\n"));
  const std::vector<RegEntry> e = ReadAll(file);
  ASSERT_EQ(e.size(), 9u);
  EXPECT_EQ(e[0].kind, RegEntry::kKey);
  EXPECT_EQ(e[0].root, kHkeyCurrentUser);
  EXPECT_EQ(e[0].path, u"Software\\T");
  EXPECT_EQ(e[0].line, 4u);
  EXPECT_EQ(e[1].name, u"");
  EXPECT_EQ(e[1].data, Sz(u"C:\\dir \"q\" \n"));
  EXPECT_EQ(e[2].type, kRegDword);
  EXPECT_EQ(e[2].data, std::string("\x2A\x00\x00\x80", 4));
  EXPECT_EQ(e[3].data, "\x01\x02\x03\x04");
  EXPECT_EQ(e[4].type, kRegExpandSz);
  EXPECT_EQ(e[4].data, std::string("%\0\0\0", 4));
  EXPECT_EQ(e[5].type, kRegQword);
  EXPECT_EQ(e[6].type, kRegNone);
  EXPECT_EQ(e[6].data, "");
  EXPECT_EQ(e[7].kind, RegEntry::kDeleteValue);
  EXPECT_EQ(e[7].name, u"gone");
  EXPECT_EQ(e[8].kind, RegEntry::kDeleteKey);
  EXPECT_EQ(e[8].root, kHkeyLocalMachine);
  EXPECT_EQ(e[8].line, 13u);
}

TEST_F(RegFileTest, Regedit4IsUtf8WhenItCanBeAndLatin1Otherwise) {
  for (const std::string& e_acute : {std::string("\xC3\xA9"), std::string("\xE9")}) {
    const auto file =
        Write("REGEDIT4\n[HKEY_CURRENT_USER\\T]\n\"caf" + e_acute + "\"=\"" + e_acute +
              "\"\n\"x\"=hex(7):" + (e_acute.size() == 2 ? "c3,a9" : "e9") + ",00,00\n");
    const std::vector<RegEntry> e = ReadAll(file);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1].name, u"café");
    EXPECT_EQ(e[1].data, Sz(u"é"));
    EXPECT_EQ(e[2].data, Utf16Bytes(std::u16string(u"é\0\0", 3)));  // one byte a character
  }
}

TEST_F(RegFileTest, ErrorsNameTheFileAndLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"REGEDIT5\n", ":1: not a .reg file"},
      {"REGEDIT4\n\"a\"=\"b\"\n", ":2: a value line outside a key"},
      {"REGEDIT4\n[-HKCU\\A]\n\"a\"=\"b\"\n", ":3: a value line outside a key"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n", ":2: unknown root HKEY_USERS"},
      {"REGEDIT4\n[HKCU\\A\\\\B]\n", ":2: an empty key name"},
      {"REGEDIT4\n[-HKCU]\n", ":2: refusing to delete a whole hive"},
      {"REGEDIT4\n[HKCU\\A] x\n", ":2: text after the key"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=\"C:\\dir\"\n", ":3: an unknown escape"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=\"open\n", ":3: an unterminated string"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=dword:123456789\n", ":3: a dword of more than 8"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=hex(z):00\n", ":3: a malformed hex(N)"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=hex:0,123\n", ":3: bad hex data"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=hex:00,\\\n", ":3: the file ends inside"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=hex:00,\\\n  01,zz\n", ":4: bad hex data"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=sz:x\n", ":3: an unknown kind of value"},
      // No name of a .reg file holds a line break: it would end the name's line.
      {"REGEDIT4\n[HKCU\\x]\r[HKLM\\SOFTWARE]\r;]\n", ":2: a key name holding a line break"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\\n[HKLM]\"=\"b\"\n", ":3: a value name holding a line break"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\rb\"=\"b\"\n", ":3: a value name holding a line break"},
  };
  for (const auto& [content, expected] : cases) {
    const auto file = Write(content);
    try {
      ReadAll(file);
      ADD_FAILURE() << content << " was accepted";
    } catch (const RegFileError& error) {
      EXPECT_NE(std::string(error.what()).find(file.string() + expected), std::string::npos)
          << error.what();
    }
  }
}

TEST_F(RegFileTest, WrittenValuesReadBackByteForByte) {
  std::mt19937 random(7);
  std::string noise(1000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const std::vector<Value> values = {
      {u"", kRegSz, Sz(u"défaut \"q\" C:\\")},
      {u"Nämé \"設計\"", kRegSz, Sz(u"")},
      {u"no nul", kRegSz, Utf16Bytes(u"abc")},
      {u"nul inside", kRegSz, Utf16Bytes(std::u16string(u"a\0b\0", 4))},
      {u"line break", kRegSz, Sz(u"a\r\nb")},
      {u"odd", kRegSz, "abc"},
      {u"d", kRegDword, std::string("\x01\x02\x03\x04", 4)},
      {u"short dword", kRegDword, "\x01"},
      {u"bin", kRegBinary, noise},
      {u"big type", 0x12345678u, "\x00\x01"},
      {u"empty", kRegBinary, ""},
      {u"v\"\\]=", kRegSz, Sz(u"d\"\\]=")},
  };
  std::ostringstream out;
  RegFileWriter writer(out);
  // Neither a key nor a value whose name holds a line break gets a line.
  EXPECT_THROW(writer.Key(u"HKEY_CURRENT_USER\\x]\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n;"),
               RegNameError);
  writer.Key(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\k]x=y\"z");
  EXPECT_THROW(writer.Entry({u"a\rb", kRegSz, Sz(u"x")}), RegNameError);
  for (const Value& value : values) writer.Entry(value);
  writer.Finish();
  const auto file = Write(out.str());
  const std::vector<RegEntry> e = ReadAll(file);
  ASSERT_EQ(e.size(), values.size() + 1);
  EXPECT_EQ(e[0].path, u"SOFTWARE\\k]x=y\"z");
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(e[i + 1].name, values[i].name);
    EXPECT_EQ(e[i + 1].type, values[i].type) << i;
    EXPECT_EQ(e[i + 1].data, values[i].data) << i;
  }
  // Hex lines break where Windows' editor breaks them: 23 bytes after "bin"=hex:, then 25 a line.
  const std::u16string text = FromUtf16Bytes(out.str().substr(2));
  // As Wine's regedit writes them: key names as they are, value names escaped.
  EXPECT_EQ(text.find(u"HKEY_LOCAL_MACHINE]"), std::u16string::npos);
  EXPECT_NE(text.find(u"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\k]x=y\"z]\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\r\n\"v\\\"\\\\]=\"=\"d\\\"\\\\]=\"\r\n"), std::u16string::npos);
  const size_t bin = text.find(u"\"bin\"=hex:");
  ASSERT_NE(bin, std::u16string::npos);
  const size_t first_end = text.find(u"\r\n", bin);
  EXPECT_EQ(first_end - bin, 10u + 23 * 3 + 1);
  EXPECT_EQ(text.substr(first_end - 2, 4), u",\\\r\n");
  EXPECT_EQ(text.find(u"\r\n", first_end + 2) - (first_end + 2), 2u + 25 * 3 + 1);
}

// The machine hive's log refuses every write while `full` is set, as a full disk would.
bool full = false;
sqlite3_vfs* base_vfs = nullptr;
sqlite3_io_methods log_methods;
int (*log_write)(sqlite3_file*, const void*, int, sqlite3_int64) = nullptr;
int WriteLog(sqlite3_file* f, const void* data, int n, sqlite3_int64 at) {
  return full ? SQLITE_FULL : log_write(f, data, n, at);
}
int OpenFile(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out) {
  const int rc = base_vfs->xOpen(base_vfs, name, file, flags, out);
  if (rc == SQLITE_OK && name != nullptr && std::string_view(name).ends_with("machine.db-wal")) {
    log_methods = *file->pMethods;
    log_write = log_methods.xWrite;
    log_methods.xWrite = WriteLog;
    file->pMethods = &log_methods;
  }
  return rc;
}

TEST_F(RegFileTest, AnImportSaysWhichHiveStandsWhenTheMachinesCommitFails) {
  static sqlite3_vfs vfs = *(base_vfs = sqlite3_vfs_find(nullptr));
  vfs.zName = "full-machine-log";
  vfs.xOpen = OpenFile;
  ASSERT_EQ(sqlite3_vfs_register(&vfs, /*makeDflt=*/1), SQLITE_OK);
  const std::unique_ptr<RegistryApi> store =
      NewSqliteRegistry({dir_.Host(u"machine.db"), dir_.Host(u"user.db")});
  const auto file = Write("REGEDIT4\n[HKCU\\T]\n\"a\"=\"b\"\n[HKLM\\T]\n\"a\"=\"b\"\n");
  ASSERT_TRUE(ImportRegFile(*store, file, 0).ok);  // both hives made
  const auto changed = Write("REGEDIT4\n[HKCU\\U]\n\"a\"=\"b\"\n[HKLM\\U]\n\"a\"=\"b\"\n");
  full = true;
  const ImportResult result = ImportRegFile(*store, changed, 0);
  full = false;
  sqlite3_vfs_unregister(&vfs);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find(": committing HKEY_LOCAL_MACHINE: "), std::string::npos);
  EXPECT_NE(result.error.find("; the 2 changes to HKEY_CURRENT_USER stand, none of the 2 to "
                              "HKEY_LOCAL_MACHINE"),
            std::string::npos)
      << result.error;
  RegKey key = 0;
  EXPECT_EQ(store->OpenKey(kHkeyCurrentUser, u"U", kKeyRead, &key), kErrorSuccess);
  store->CloseKey(key);
  EXPECT_EQ(store->OpenKey(kHkeyLocalMachine, u"U", kKeyRead, &key), kErrorFileNotFound);
}

}  // namespace
}  // namespace velmo::tools
