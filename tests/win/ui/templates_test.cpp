// The dialog templates as the resource compiler built them into the
// program: window styles, fonts, sizes, and every control's id, class, text,
// position and style. What the compiler adds or drops on its own (visibility,
// default styles of a statement) is checked here, not in the .rc file.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/ui/ui_support.h"

namespace {

struct Item {
  DWORD style = 0, ex_style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  int id = 0;
  std::string cls;   // "Button", "Static", ... for the predefined ordinals
  std::string text;
};

struct Template {
  DWORD style = 0, ex_style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string cls, caption, font;
  int point_size = 0;
  std::vector<Item> items;
};

// Reads a DLGTEMPLATEEX. The name-or-ordinal fields and the texts are
// UTF-16; only ASCII occurs in these templates.
class Reader {
 public:
  Reader(const BYTE* p, size_t size) : p_(p), end_(p + size), start_(p) {}
  WORD Word() { WORD v = 0; Take(&v, 2); return v; }
  DWORD Dword() { DWORD v = 0; Take(&v, 4); return v; }
  short Short() { return static_cast<short>(Word()); }
  std::string Text() {
    std::string s;
    for (WORD c = Word(); c != 0 && ok_; c = Word()) s += static_cast<char>(c);
    return s;
  }
  std::string NameOrOrdinal() {
    WORD first = Word();
    if (first == 0x0000) return "";
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::string s(1, static_cast<char>(first));
    return s + Text();
  }
  void AlignDword() {
    while (ok_ && (p_ - start_) % 4 != 0) ++p_;
  }
  void Skip(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) ok_ = false;
    else p_ += n;
  }
  bool ok() const { return ok_; }

 private:
  void Take(void* out, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) {
      ok_ = false;
      return;
    }
    std::memcpy(out, p_, n);
    p_ += n;
  }
  const BYTE* p_;
  const BYTE* end_;
  const BYTE* start_;
  bool ok_ = true;
};

std::string ClassName(const std::string& raw) {
  if (raw == "#128") return "Button";
  if (raw == "#129") return "Edit";
  if (raw == "#130") return "Static";
  if (raw == "#131") return "ListBox";
  if (raw == "#132") return "ScrollBar";
  if (raw == "#133") return "ComboBox";
  return raw;
}

bool Load(int id, Template* t) {
  HMODULE module = ProgramResources();
  HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(id), reinterpret_cast<LPCSTR>(RT_DIALOG));
  if (!res) return false;
  HGLOBAL global = LoadResource(module, res);
  const BYTE* bytes = static_cast<const BYTE*>(LockResource(global));
  if (!bytes) return false;
  Reader r(bytes, SizeofResource(module, res));
  if (r.Word() != 1 || r.Word() != 0xFFFF) return false;  // DLGTEMPLATEEX only
  r.Dword();                                               // help id
  t->ex_style = r.Dword();
  t->style = r.Dword();
  const WORD count = r.Word();
  t->x = r.Short();
  t->y = r.Short();
  t->cx = r.Short();
  t->cy = r.Short();
  r.NameOrOrdinal();  // menu
  t->cls = r.NameOrOrdinal();
  t->caption = r.Text();
  if (t->style & (DS_SETFONT | DS_SHELLFONT)) {
    t->point_size = r.Word();
    r.Word();  // weight
    r.Skip(2);  // italic, character set
    t->font = r.Text();
  }
  for (WORD i = 0; i < count && r.ok(); ++i) {
    r.AlignDword();
    Item item;
    r.Dword();  // help id
    item.ex_style = r.Dword();
    item.style = r.Dword();
    item.x = r.Short();
    item.y = r.Short();
    item.cx = r.Short();
    item.cy = r.Short();
    item.id = static_cast<int>(static_cast<LONG>(r.Dword()));
    item.cls = ClassName(r.NameOrOrdinal());
    item.text = r.NameOrOrdinal();
    r.Skip(r.Word());  // creation data
    t->items.push_back(item);
  }
  return r.ok() && t->items.size() == count;
}

// One row of a control table: what must be set, and what must not be.
struct Row {
  int id;
  const char* cls;
  const char* text;
  int x, y, cx, cy;
  DWORD style;      // every bit must be set
  DWORD not_style;  // no bit may be set
  int type = -1;    // SS_TYPEMASK (statics) or the button type (low nibble); -1 = not checked
};

constexpr DWORD kShown = WS_CHILD | WS_VISIBLE;

void ExpectControls(const Template& t, const std::vector<Row>& rows) {
  ASSERT_EQ(t.items.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const Item& item = t.items[i];
    SCOPED_TRACE(testing::Message() << "control " << row.id << " (row " << i << ")");
    EXPECT_EQ(item.id, row.id);
    EXPECT_EQ(lstrcmpiA(item.cls.c_str(), row.cls), 0) << item.cls;  // class names ignore case
    EXPECT_EQ(item.text, row.text);
    EXPECT_EQ(item.x, row.x);
    EXPECT_EQ(item.y, row.y);
    EXPECT_EQ(item.cx, row.cx);
    EXPECT_EQ(item.cy, row.cy);
    EXPECT_EQ(item.style & row.style, row.style) << std::hex << item.style;
    EXPECT_EQ(item.style & row.not_style, 0u) << std::hex << item.style;
    if (row.type >= 0) {
      const DWORD mask = item.cls == "Static" ? SS_TYPEMASK : 0x0F;
      EXPECT_EQ(static_cast<int>(item.style & mask), row.type) << std::hex << item.style;
    }
  }
}

class TemplatesTest : public UiTest {};

TEST_F(TemplatesTest, MainDialog) {
  Template t;
  ASSERT_TRUE(Load(IDD_UPDATE, &t));
  const DWORD style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
  EXPECT_EQ(t.style & style, style) << std::hex << t.style;
  EXPECT_EQ(t.style & (WS_THICKFRAME | WS_CHILD | WS_DISABLED), 0u);
  EXPECT_TRUE(t.ex_style & WS_EX_APPWINDOW);
  EXPECT_FALSE(t.ex_style & WS_EX_TOPMOST);
  EXPECT_EQ(t.caption, "");
  EXPECT_EQ(t.font, "Courier New");
  EXPECT_EQ(t.point_size, 9);
  EXPECT_EQ(t.cx, 237);
  EXPECT_EQ(t.cy, 96);
  ExpectControls(t, {
      {-1, "Button", "", 2, 3, 233, 39, kShown, WS_DISABLED, BS_GROUPBOX},
      {1021, "Static", "Vendor Identification", 6, 11, 91, 12, kShown, SS_SUNKEN | SS_CENTERIMAGE, SS_LEFT},
      {1026, "Static", "", 101, 11, 130, 12, kShown | SS_CENTERIMAGE | SS_SUNKEN, WS_DISABLED, SS_LEFT},
      {1017, "Static", "CD-ROM/RW Drive Model", 6, 25, 91, 12, kShown, SS_SUNKEN | SS_CENTERIMAGE, SS_LEFT},
      {1000, "ComboBox", "", 101, 25, 130, 82, kShown | WS_TABSTOP, WS_DISABLED, CBS_DROPDOWNLIST},
      {1020, "Button", "", 2, 44, 233, 35, kShown, WS_DISABLED, BS_GROUPBOX},
      {1019, "Static", "Do you want to update firmware from ", 6, 51, 214, 9, kShown | SS_CENTERIMAGE,
       SS_SUNKEN, SS_LEFT},
      {1025, "Static", "", 6, 62, 97, 12, kShown | SS_SUNKEN, WS_DISABLED, SS_CENTER},
      {1018, "Static", "to", 107, 61, 12, 12, kShown, SS_SUNKEN, SS_CENTER},
      {1028, "Static", "", 123, 62, 97, 12, kShown | SS_SUNKEN, WS_DISABLED, SS_CENTER},
      {1027, "ScrollBar", "", 222, 62, 11, 12, kShown | SBS_VERT | WS_DISABLED, 0},
      {1, "Button", "Yes", 81, 83, 39, 11, kShown | WS_DISABLED | WS_TABSTOP | BS_CENTER | BS_NOTIFY, 0,
       BS_DEFPUSHBUTTON},
      {2, "Button", "No", 120, 83, 39, 11, kShown | WS_TABSTOP, WS_DISABLED, BS_PUSHBUTTON},
  });
}

TEST_F(TemplatesTest, ProgressDialog) {
  Template t;
  ASSERT_TRUE(Load(IDD_PROGRESS, &t));
  const DWORD style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  EXPECT_EQ(t.style & style, style) << std::hex << t.style;
  EXPECT_NE(t.style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION)) << "no caption";
  EXPECT_EQ(t.style & WS_SYSMENU, 0u);
  EXPECT_EQ(t.caption, "");
  EXPECT_EQ(t.font, "Verdana");
  EXPECT_EQ(t.point_size, 8);
  EXPECT_EQ(t.cx, 276);
  EXPECT_EQ(t.cy, 43);
  ExpectControls(t, {
      {1004, "Static", "", 0, 0, 276, 22, kShown | SS_CENTERIMAGE | SS_SUNKEN, 0, SS_CENTER},
      {1040, "Static", "Ready to update. . .", 1, 25, 275, 10, kShown, SS_SUNKEN, SS_LEFT},
      {1033, "msctls_progress32", "", 0, 37, 276, 6, kShown | PBS_SMOOTH | WS_BORDER, PBS_VERTICAL},
  });
}

TEST_F(TemplatesTest, MessageDialog) {
  Template t;
  ASSERT_TRUE(Load(IDD_MESSAGE, &t));
  const DWORD style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
  EXPECT_EQ(t.style & style, style) << std::hex << t.style;
  EXPECT_EQ(t.style & WS_THICKFRAME, 0u);
  EXPECT_TRUE(t.ex_style & WS_EX_TOPMOST);
  EXPECT_EQ(t.caption, "");
  EXPECT_EQ(t.font, "Verdana");
  EXPECT_EQ(t.point_size, 9);
  EXPECT_EQ(t.cx, 224);
  EXPECT_EQ(t.cy, 60);
  ExpectControls(t, {
      {1015, "Static", "Static", 2, 0, 220, 45, kShown, SS_SUNKEN, SS_CENTER},
      {1, "Button", "OK", 188, 46, 34, 11, kShown | WS_TABSTOP, WS_DISABLED, BS_PUSHBUTTON},
      {2, "Button", "CANCEL", 153, 46, 34, 11, WS_CHILD | WS_TABSTOP, WS_VISIBLE | WS_DISABLED, BS_PUSHBUTTON},
  });
}

TEST_F(TemplatesTest, DebugWindow) {
  Template t;
  ASSERT_TRUE(Load(IDD_DEBUG, &t));
  const DWORD style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_THICKFRAME;
  EXPECT_EQ(t.style & style, style) << std::hex << t.style;
  EXPECT_EQ(t.style & WS_SYSMENU, 0u) << "no system menu, so no close box";
  EXPECT_TRUE(t.ex_style & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(t.ex_style & WS_EX_APPWINDOW);
  EXPECT_EQ(t.caption, "Debug Window");
  EXPECT_EQ(t.font, "Courier New");
  EXPECT_EQ(t.point_size, 8);
  EXPECT_EQ(t.cx, 264);
  EXPECT_EQ(t.cy, 108);
  const DWORD field = kShown | WS_BORDER | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY |
                      ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN;
  ExpectControls(t, {{1033, "RICHEDIT", "", 0, 0, 264, 108, field, WS_DISABLED}});
}

// The classes the templates name must exist when a dialog is made: the
// rich edit class comes from the library the debug window loads, and the
// progress bar's from the common controls library, which only a program
// that imports it gets on every Windows.
// functions, when given, receives every function imported by name.
std::vector<std::string> ImportedLibraries(const std::string& path, std::vector<std::string>* functions = nullptr) {
  std::vector<std::string> names;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return names;
  std::vector<BYTE> image(GetFileSize(file, nullptr));
  DWORD got = 0;
  const BOOL read = ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &got, nullptr);
  CloseHandle(file);
  if (!read || got != image.size() || image.size() < sizeof(IMAGE_DOS_HEADER)) return names;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  if (dos->e_lfanew < 0 || static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > image.size()) return names;
  // The 32-bit program is a PE32 image, the 64-bit build's a PE32+ one: they
  // differ in the optional header and in the width of an import thunk.
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image.data() + dos->e_lfanew);
  const auto* nt64 = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
  const bool pe32_plus = nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
  if (!pe32_plus && nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return names;
  const IMAGE_DATA_DIRECTORY& imports = pe32_plus ? nt64->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                                                  : nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const size_t thunk_size = pe32_plus ? sizeof(ULONGLONG) : sizeof(DWORD);
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  if (reinterpret_cast<const BYTE*>(sections + nt->FileHeader.NumberOfSections) > image.data() + image.size())
    return names;
  auto offset_of = [&](ULONGLONG rva) -> size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& sec = sections[i];
      if (rva >= sec.VirtualAddress && rva < sec.VirtualAddress + sec.SizeOfRawData)
        return static_cast<size_t>(rva - sec.VirtualAddress + sec.PointerToRawData);
    }
    return image.size();
  };
  size_t at = offset_of(imports.VirtualAddress);
  for (; at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= image.size(); at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + at);
    if (d->Name == 0) break;
    const size_t name = offset_of(d->Name);
    if (name >= image.size()) break;
    std::string n;
    for (size_t i = name; i < image.size() && image[i]; ++i) n += static_cast<char>(toupper(image[i]));
    names.push_back(n);
    if (!functions) continue;
    for (size_t thunk = offset_of(d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk);
         thunk + thunk_size <= image.size(); thunk += thunk_size) {
      ULONGLONG entry = 0;
      std::memcpy(&entry, image.data() + thunk, thunk_size);  // little-endian: the low bytes
      if (entry == 0) break;
      if (entry & (pe32_plus ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32)) continue;
      const size_t hint = offset_of(entry);
      std::string f;
      for (size_t i = hint + 2; i < image.size() && image[i]; ++i) f += static_cast<char>(image[i]);
      functions->push_back(f);
    }
  }
  return names;
}

TEST_F(TemplatesTest, TheProgramImportsTheLibraryOfItsProgressBar) {
  const std::string program = ProgramPath();
  const std::vector<std::string> imports = ImportedLibraries(program);
  ASSERT_FALSE(imports.empty()) << program;
  EXPECT_TRUE(std::find(imports.begin(), imports.end(), "COMCTL32.DLL") != imports.end())
      << "the progress dialog's bar class would be missing";
}

// The program must load on Windows 95/98/ME too: it may import nothing that
// only the NT family (or a later Windows) exports. These are the calls a
// runtime built for newer systems brings in.
TEST_F(TemplatesTest, TheProgramImportsNothingThatOlderWindowsLacks) {
  const std::string program = ProgramPath();
  std::vector<std::string> functions;
  const std::vector<std::string> libraries = ImportedLibraries(program, &functions);
  ASSERT_FALSE(functions.empty()) << program;
  // Windows 95 has no SetupAPI; the pass-through enumeration looks it up at run time.
  EXPECT_TRUE(std::find(libraries.begin(), libraries.end(), "SETUPAPI.DLL") == libraries.end());
  for (const char* newer : {"GetTickCount64", "TryEnterCriticalSection", "AddVectoredExceptionHandler",
                            "RemoveVectoredExceptionHandler", "InitializeSRWLock", "InitializeConditionVariable",
                            "FlsAlloc"}) {
    EXPECT_TRUE(std::find(functions.begin(), functions.end(), newer) == functions.end())
        << "fwupdate.exe imports " << newer;
  }
}

}  // namespace
