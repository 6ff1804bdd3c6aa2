#include "tests/harness/winharness.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "base/payload_pack.h"

namespace harness {

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kMessageTimeoutMs = 2000;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t slash = path.find_last_of('\\');
  if (slash != std::string::npos && slash > 2) {
    if (!MakeDirectories(path.substr(0, slash))) return false;
  }
  return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Removes everything inside dir (files and subdirectories), not dir itself.
void EmptyDirectory(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(JoinPath(dir, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string path = JoinPath(dir, name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      EmptyDirectory(path);
      RemoveDirectoryA(path.c_str());
    } else {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// This process's environment with the extra variables set on top, as the
// double-zero-terminated block CreateProcessA takes.
std::vector<char> EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> entries;
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* p = block; *p; p += std::strlen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsA(block);
  }
  for (const auto& [name, value] : extra) {
    // Names compare without case on Windows; a later entry replaces.
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const std::string& e) {
                                   const size_t eq = e.find('=', 1);
                                   return eq != std::string::npos && EqualsNoCase(e.substr(0, eq), name);
                                 }),
                  entries.end());
    entries.push_back(name + "=" + value);
  }
  std::vector<char> out;
  for (const std::string& e : entries) {
    out.insert(out.end(), e.begin(), e.end());
    out.push_back('\0');
  }
  out.push_back('\0');
  if (out.size() == 1) out.push_back('\0');
  return out;
}

struct EnumContext {
  DWORD pid;
  bool all;
  std::vector<HWND>* out;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
  auto* context = reinterpret_cast<EnumContext*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == context->pid && (context->all || IsWindowVisible(window))) context->out->push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectStatics(HWND child, LPARAM param) {
  auto* out = reinterpret_cast<std::vector<std::string>*>(param);
  if (EqualsNoCase(WindowClass(child), "Static")) {
    const std::string text = WindowText(child);
    if (!text.empty()) out->push_back(text);
  }
  return TRUE;
}

}  // namespace

// ---- environment, paths and files ----------------------------------------

std::string Env(const char* name) {
  char small[1024];
  const DWORD n = GetEnvironmentVariableA(name, small, sizeof small);
  if (n == 0) return std::string();
  if (n < sizeof small) return std::string(small, n);
  std::vector<char> big(n + 1);
  const DWORD m = GetEnvironmentVariableA(name, big.data(), n + 1);
  return m > 0 && m <= n ? std::string(big.data(), m) : std::string();
}

std::string UnixToWinePath(const std::string& unix_path) {
  if (unix_path.empty() || unix_path[0] != '/') return unix_path;
  std::string out = "Z:" + unix_path;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string WineToUnixPath(const std::string& wine_path) {
  if (wine_path.size() < 2 || wine_path[1] != ':' || std::toupper(static_cast<unsigned char>(wine_path[0])) != 'Z') {
    return wine_path;
  }
  std::string out = wine_path.substr(2);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out.empty() ? "/" : out;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const char last = dir.back();
  return (last == '\\' || last == '/') ? dir + name : dir + "\\" + name;
}

std::string BuildDir() { return UnixToWinePath(Env("FW_BUILD_DIR")); }

std::string BuiltProgramPath() {
  const std::string dir = BuildDir();
  return dir.empty() ? std::string() : JoinPath(dir, "fwupdate.exe");
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  bool ok = size != INVALID_FILE_SIZE;
  if (ok) {
    bytes->resize(size);
    DWORD total = 0;
    while (total < size) {
      DWORD got = 0;
      if (!ReadFile(file, bytes->data() + total, size - total, &got, nullptr) || got == 0) break;
      total += got;
    }
    ok = total == size;
  }
  CloseHandle(file);
  if (!ok) bytes->clear();
  return ok;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD total = 0;
  while (total < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size()) - total, &written, nullptr) ||
        written == 0) {
      break;
    }
    total += written;
  }
  CloseHandle(file);
  return total == bytes.size();
}

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(JoinPath(dir, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::string MakeWorkDir(const std::string& name) {
  const std::string build = BuildDir();
  if (build.empty() || name.empty()) return std::string();
  const std::string dir = JoinPath(JoinPath(build, "e2e-work"), name);
  if (!MakeDirectories(dir)) return std::string();
  EmptyDirectory(dir);
  return ListFiles(dir).empty() ? dir : std::string();
}

// ---- packed updaters ------------------------------------------------------

std::string BuildPackedUpdater(const std::string& dir, const std::vector<ImageSpec>& images,
                               std::vector<std::vector<uint8_t>>* plain, const std::string& exe_name,
                               std::string* error) {
  std::string ignored;
  std::string& why = error ? *error : ignored;
  std::vector<uint8_t> program;
  const std::string program_path = BuiltProgramPath();
  if (program_path.empty()) {
    why = "FW_BUILD_DIR is not set";
    return std::string();
  }
  if (!ReadFileBytes(program_path, &program)) {
    why = "cannot read " + program_path;
    return std::string();
  }
  std::vector<std::vector<uint8_t>> plain_images;
  for (const ImageSpec& spec : images) {
    plain_images.push_back(MakeSampleFirmware(spec.model, spec.version, spec.size, spec.seed));
    if (plain_images.back().empty()) {
      why = "cannot make a sample image of size " + std::to_string(spec.size);
      return std::string();
    }
  }
  std::vector<uint8_t> packed;
  if (!PackPayload(program, plain_images, &packed, &why)) return std::string();
  const std::string path = JoinPath(dir, exe_name);
  if (!WriteFileBytes(path, packed)) {
    why = "cannot write " + path;
    return std::string();
  }
  if (plain) *plain = std::move(plain_images);
  return path;
}

// ---- the simulated drive --------------------------------------------------

bool InstallSimulatedAspi(const std::string& dir, const std::string& exe_name) {
  const std::string build = BuildDir();
  if (build.empty()) return false;
  if (!CopyFileA(JoinPath(build, "WNASPI32.DLL").c_str(), JoinPath(dir, "WNASPI32.DLL").c_str(), FALSE)) {
    return false;
  }
  return PreferNativeDll(exe_name, "wnaspi32");
}

Environment SimulatedDriveEnvironment(const std::string& config_path, const std::string& wire_log,
                                      const std::string& out_dir) {
  Environment environment;
  if (!config_path.empty()) environment.emplace_back("FWSIM_CONFIG", config_path);
  if (!wire_log.empty()) environment.emplace_back("FWSIM_LOG", wire_log);
  if (!out_dir.empty()) environment.emplace_back("FWSIM_OUT", out_dir);
  return environment;
}

std::string WriteTextFile(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string path = JoinPath(dir, name);
  return WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end())) ? path : std::string();
}

// ---- Wine settings --------------------------------------------------------

namespace {

std::string AppDefaultsKey(const std::string& exe_name) { return "Software\\Wine\\AppDefaults\\" + exe_name; }

bool SetStringValue(const std::string& key, const char* name, const char* value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG result = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                     static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

// Deletes key and everything below it.
void DeleteKeyTree(HKEY parent, const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(parent, key.c_str(), 0, KEY_READ | KEY_WRITE, &handle) != ERROR_SUCCESS) return;
  std::vector<std::string> children;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(name, length);
  }
  for (const std::string& child : children) DeleteKeyTree(handle, child);
  RegCloseKey(handle);
  RegDeleteKeyA(parent, key.c_str());
}

}  // namespace

bool SetWin98Mode(const std::string& exe_name) { return SetStringValue(AppDefaultsKey(exe_name), "Version", "win98"); }

bool ClearWin98Mode(const std::string& exe_name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, AppDefaultsKey(exe_name).c_str(), 0, KEY_SET_VALUE, &handle) !=
      ERROR_SUCCESS) {
    return true;
  }
  const LONG result = RegDeleteValueA(handle, "Version");
  RegCloseKey(handle);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool PreferNativeDll(const std::string& exe_name, const std::string& dll) {
  return SetStringValue(AppDefaultsKey(exe_name) + "\\DllOverrides", dll.c_str(), "native");
}

void ClearAppDefaults(const std::string& exe_name) { DeleteKeyTree(HKEY_CURRENT_USER, AppDefaultsKey(exe_name)); }

// ---- transports -------------------------------------------------------------

namespace {

constexpr char kCdromGuid[] = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr char kCdromClassGuid[] = "{4D36E965-E325-11CE-BFC1-08002BE10318}";
constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\WINE\\CDROM";
const std::string kInterfacesKey =
    std::string("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + kCdromGuid;
constexpr char kInterfacePrefix[] = "##?#WINE#CDROM#";

bool SetMachineValue(const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG result = RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

bool SetMachineString(const std::string& key, const char* name, const std::string& value) {
  return SetMachineValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

// The prefix's dosdevices folder as a Wine path; "" without WINEPREFIX.
std::string DosDevices() {
  const std::string prefix = Env("WINEPREFIX");
  return prefix.empty() ? std::string() : JoinPath(UnixToWinePath(prefix), "dosdevices");
}

std::string DeviceFileName(int instance) { return "wine#cdrom#" + std::to_string(instance) + "#" + kCdromGuid; }

}  // namespace

Transport TransportUnderTest() {
  return Env("FW_E2E_TRANSPORT") == "nt" ? Transport::PassThrough : Transport::Aspi;
}

const char* TransportName(Transport transport) { return transport == Transport::PassThrough ? "nt" : "aspi"; }

std::string VendorCdbStart(Transport transport) { return transport == Transport::PassThrough ? "33 0C" : "33 6C"; }

void RemoveCdromInterfaces() {
  HKEY handle = nullptr;
  std::vector<std::string> interfaces;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInterfacesKey.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS) {
    char name[512];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof name;
      if (RegEnumKeyExA(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (std::string(name, length).rfind(kInterfacePrefix, 0) == 0) interfaces.emplace_back(name, length);
    }
    RegCloseKey(handle);
  }
  for (const std::string& name : interfaces) DeleteKeyTree(HKEY_LOCAL_MACHINE, kInterfacesKey + "\\" + name);
  DeleteKeyTree(HKEY_LOCAL_MACHINE, kEnumKey);
  const std::string devices = DosDevices();
  if (devices.empty()) return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(JoinPath(devices, "wine#cdrom#*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileA(JoinPath(devices, found.cFileName).c_str());
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

bool InstallCdromInterfaces(int count, const Environment& settings, const std::vector<int>& unopenable) {
  RemoveCdromInterfaces();
  const std::string devices = DosDevices();
  if (devices.empty()) return false;
  std::string text;
  for (const auto& [name, value] : settings) text += name + "=" + value + "\n";
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    const std::string instance = std::string("WINE\\CDROM\\") + n;
    ok = ok && SetMachineString(std::string(kEnumKey) + "\\" + n, "ClassGUID", kCdromClassGuid);
    const std::string key = kInterfacesKey + "\\" + kInterfacePrefix + n + "#" + kCdromGuid;
    ok = ok && SetMachineString(key, "DeviceInstance", instance);
    ok = ok && SetMachineString(key + "\\#", "SymbolicLink", "\\\\?\\" + DeviceFileName(i));
    const DWORD linked = 1;
    ok = ok && SetMachineValue(key + "\\#\\Control", "Linked", REG_DWORD, &linked, sizeof linked);
    if (std::find(unopenable.begin(), unopenable.end(), i) == unopenable.end()) {
      ok = ok && WriteFileBytes(JoinPath(devices, DeviceFileName(i)), std::vector<uint8_t>(text.begin(), text.end()));
    }
  }
  return ok;
}

bool IsWireCommand(const std::string& line) {
  if (line.rfind("sgio ", 0) == 0) return true;
  return line.rfind("srb=02 ", 0) == 0 && line.find("result=pending") == std::string::npos;
}

Environment SimulatedDrives(Transport transport, const std::string& dir, const std::string& config,
                            const std::string& wire_log, const std::string& out_dir, const std::string& exe_name,
                            bool* ok) {
  const std::string path = WriteTextFile(dir, "sim.cfg", config);
  const Environment environment = SimulatedDriveEnvironment(path, wire_log, out_dir);
  bool done = !path.empty();
  if (transport == Transport::Aspi) {
    done = done && SetWin98Mode(exe_name) && InstallSimulatedAspi(dir, exe_name);
  } else {
    int drives = 0;
    size_t at = 0;
    while (at < config.size()) {
      size_t end = config.find('\n', at);
      if (end == std::string::npos) end = config.size();
      const std::string line = config.substr(at, end - at);
      const size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && line.compare(first, 6, "drive ") == 0) ++drives;
      at = end + 1;
    }
    done = done && ClearWin98Mode(exe_name) && InstallCdromInterfaces(drives, environment);
  }
  if (ok) *ok = done;
  return environment;
}

// ---- windows and controls -------------------------------------------------

std::string WindowText(HWND window) {
  if (!window) return std::string();
  // WM_GETTEXT reads controls of other processes too; the time-out keeps a
  // program whose thread hangs from hanging the test.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &length) ||
      length == 0) {
    return std::string();
  }
  std::vector<char> text(static_cast<size_t>(length) + 1);
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                           kMessageTimeoutMs, &got)) {
    return std::string();
  }
  return std::string(text.data(), std::min<size_t>(got, length));
}

std::string WindowClass(HWND window) {
  char name[256] = {};
  if (!window || GetClassNameA(window, name, sizeof name) == 0) return std::string();
  return name;
}

std::vector<HWND> TopLevelWindows(DWORD pid, bool all) {
  std::vector<HWND> out;
  EnumContext context{pid, all, &out};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&context));
  return out;
}

HWND FindDialog(DWORD pid, const std::string& caption) {
  for (HWND window : TopLevelWindows(pid)) {
    if (WindowClass(window) == kDialogClass && WindowText(window) == caption) return window;
  }
  return nullptr;
}

std::string DescribeWindows(DWORD pid) {
  std::string out;
  for (HWND window : TopLevelWindows(pid)) {
    if (!out.empty()) out += ", ";
    out += "\"" + WindowText(window) + "\" [" + WindowClass(window) + "]";
  }
  return out.empty() ? "no window" : out;
}

HWND Control(HWND dialog, int id) { return dialog ? GetDlgItem(dialog, id) : nullptr; }

std::string ControlText(HWND dialog, int id) { return WindowText(Control(dialog, id)); }

std::vector<std::string> StaticTexts(HWND window) {
  std::vector<std::string> out;
  if (window) EnumChildWindows(window, CollectStatics, reinterpret_cast<LPARAM>(&out));
  return out;
}

std::string JoinedStaticTexts(HWND window) {
  std::string out;
  for (const std::string& text : StaticTexts(window)) {
    if (!out.empty()) out += "|";
    out += text;
  }
  return out;
}

bool IsControlVisible(HWND dialog, int id) {
  HWND control = Control(dialog, id);
  return control && IsWindowVisible(control);
}

bool IsControlEnabled(HWND dialog, int id) {
  HWND control = Control(dialog, id);
  return control && IsWindowEnabled(control);
}

bool PressButton(HWND dialog, int id) {
  HWND control = Control(dialog, id);
  if (!dialog || !IsWindow(dialog)) return false;
  return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control)) != 0;
}

bool CloseWindow(HWND window) { return window && PostMessageA(window, WM_CLOSE, 0, 0) != 0; }

// ---- screen ---------------------------------------------------------------

bool SaveScreenshot(const std::string& path) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  if (!screen) return false;
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  bool ok = memory && bitmap;
  std::vector<uint8_t> pixels;
  BITMAPINFOHEADER info = {};
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  if (ok) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY) != 0;
    SelectObject(memory, previous);
  }
  if (ok) {
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // bottom-up, as the file stores it
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = stride * static_cast<DWORD>(height);
    pixels.resize(info.biSizeImage);
    ok = GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) ==
         height;
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!ok) return false;

  BITMAPFILEHEADER header = {};
  header.bfType = 0x4D42;  // "BM"
  header.bfOffBits = sizeof header + sizeof info;
  header.bfSize = header.bfOffBits + info.biSizeImage;
  std::vector<uint8_t> file(header.bfSize);
  std::memcpy(file.data(), &header, sizeof header);
  std::memcpy(file.data() + sizeof header, &info, sizeof info);
  std::memcpy(file.data() + header.bfOffBits, pixels.data(), pixels.size());
  return WriteFileBytes(path, file);
}

COLORREF ScreenPixel(int x, int y) {
  HDC screen = GetDC(nullptr);
  if (!screen) return CLR_INVALID;
  const COLORREF colour = GetPixel(screen, x, y);
  ReleaseDC(nullptr, screen);
  return colour;
}

COLORREF ClientPixel(HWND window, int x, int y) {
  POINT point{x, y};
  if (!window || !ClientToScreen(window, &point)) return CLR_INVALID;
  return ScreenPixel(point.x, point.y);
}

RECT ControlScreenRect(HWND dialog, int id) {
  RECT rect = {};
  HWND control = Control(dialog, id);
  if (!control || !GetWindowRect(control, &rect)) return RECT{};
  return rect;
}

// ---- the program under test -----------------------------------------------

Program::~Program() {
  Kill();
  if (process_) CloseHandle(process_);
}

bool Program::Start(const std::string& exe_path, const std::string& arguments, const std::string& work_dir,
                    const std::vector<std::pair<std::string, std::string>>& environment) {
  if (process_) {
    Fail("Start called twice");
    return false;
  }
  std::string command = "\"" + exe_path + "\"";
  if (!arguments.empty()) command += " " + arguments;
  std::vector<char> command_line(command.begin(), command.end());
  command_line.push_back('\0');
  std::vector<char> block = EnvironmentBlock(environment);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(exe_path.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, block.data(),
                      work_dir.empty() ? nullptr : work_dir.c_str(), &startup, &info)) {
    Fail("cannot start " + command + " (error " + std::to_string(GetLastError()) + ")");
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  // Lets the program reach its first window (or its end) before the first look.
  WaitForInputIdle(process_, 2000);
  return true;
}

bool Program::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void Program::NoteWindows() {
  if (pid_ && !TopLevelWindows(pid_).empty()) saw_window_ = true;
}

void Program::Fail(const std::string& what) { error_ = what; }

HWND Program::WaitForWindow(const std::string& caption, DWORD timeout_ms) {
  if (!process_) {
    Fail("the program was not started");
    return nullptr;
  }
  const DWORD start = GetTickCount();
  for (;;) {
    NoteWindows();
    if (HWND window = FindDialog(pid_, caption)) return window;
    if (!Running()) {
      DWORD code = 0;
      GetExitCodeProcess(process_, &code);
      Fail("the program ended (exit code " + std::to_string(code) + ") without a window \"" + caption + "\"");
      return nullptr;
    }
    if (GetTickCount() - start >= timeout_ms) {
      Fail("no window \"" + caption + "\" within " + std::to_string(timeout_ms) + " ms; showing: " +
           DescribeWindows(pid_));
      Kill();
      return nullptr;
    }
    Sleep(kPollMs);
  }
}

bool Program::WaitForWindowGone(const std::string& caption, DWORD timeout_ms) {
  if (!process_) return true;
  const DWORD start = GetTickCount();
  while (FindDialog(pid_, caption)) {
    if (GetTickCount() - start >= timeout_ms) {
      Fail("window \"" + caption + "\" still open after " + std::to_string(timeout_ms) + " ms");
      Kill();
      return false;
    }
    Sleep(kPollMs);
  }
  return true;
}

bool Program::WaitForExit(DWORD timeout_ms, DWORD* exit_code) {
  if (!process_) {
    Fail("the program was not started");
    return false;
  }
  const DWORD start = GetTickCount();
  for (;;) {
    NoteWindows();
    if (WaitForSingleObject(process_, kPollMs) == WAIT_OBJECT_0) break;
    if (GetTickCount() - start >= timeout_ms) {
      Fail("the program did not end within " + std::to_string(timeout_ms) + " ms; showing: " +
           DescribeWindows(pid_));
      Kill();
      return false;
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  if (exit_code) *exit_code = code;
  return true;
}

void Program::Kill() {
  if (Running()) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }
}

}  // namespace harness
