// End-to-end driver for LORMIX.exe under Windows (run here under wine64 with
// the simulated FTD2XX.dll beside the program). Starts the program, drives it
// as an operator would (menu commands, keys, the About box, the question box)
// and checks what it shows: window, menu, resources, the status lines it holds
// (read from the running process's memory), the devices' state as the
// simulated DLL reports it, and the exit code.
//
//   lormix_driver CASE LORMIX.exe WORKDIR      runs one case; exit code 0: passed
//   lormix_driver run LORMIX.exe WORKDIR       the demonstration: one update,
//                                              screenshots, answers No; exits
//                                              with LORMIX's exit code
//
// Screenshots (24-bit .bmp) and the simulator's trace and result files go to
// WORKDIR.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

int failures = 0;
std::string workDir;
std::string exePath;

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

bool Check(bool ok, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // Details (what was seen) start on a new line and are shown only for a failure.
  if (ok) text[std::strcspn(text, "\n")] = '\0';
  std::printf("  %s %s\n", ok ? "ok  " : "FAIL", text);
  std::fflush(stdout);
  if (!ok) ++failures;
  return ok;
}

double Seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Polls `ready` every 50 ms until it holds or `seconds` have passed.
bool WaitFor(double seconds, const std::function<bool()>& ready) {
  const double end = Seconds() + seconds;
  for (;;) {
    if (ready()) return true;
    if (Seconds() > end) return false;
    Sleep(50);
  }
}

std::string Quote(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += "\n        [" + std::to_string(i) + "] \"" + lines[i] + "\"";
  return out;
}

// ---------------------------------------------------------------- the program's image

// The RVA of a global in LORMIX.exe, from the COFF symbol table the MinGW
// linker leaves in the image. 0 when not found.
uint32_t SymbolRva(const std::string& path, const char* name) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (image.size() < 0x40) return 0;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
  const IMAGE_FILE_HEADER& fh = nt->FileHeader;
  const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
      reinterpret_cast<const char*>(&nt->OptionalHeader) + fh.SizeOfOptionalHeader);
  const char* symbols = image.data() + fh.PointerToSymbolTable;
  const char* strings = symbols + fh.NumberOfSymbols * 18;
  if (fh.PointerToSymbolTable == 0 || strings > image.data() + image.size()) return 0;
  for (DWORD i = 0; i < fh.NumberOfSymbols; ++i) {
    const char* s = symbols + i * 18;
    std::string symbol;
    if (*reinterpret_cast<const uint32_t*>(s) == 0)
      symbol = strings + *reinterpret_cast<const uint32_t*>(s + 4);
    else
      symbol.assign(s, strnlen(s, 8));
    const int16_t section = *reinterpret_cast<const int16_t*>(s + 12);
    if (symbol == name && section > 0 && section <= fh.NumberOfSections)
      return sections[section - 1].VirtualAddress + *reinterpret_cast<const uint32_t*>(s + 8);
    i += static_cast<uint8_t>(s[17]);  // auxiliary records
  }
  return 0;
}

// ---------------------------------------------------------------- one running LORMIX.exe

constexpr int kLines = 10, kSlot = 260;

struct Lormix {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;
  uintptr_t logAddress = 0;
  std::string scenario, tracePath, resultPath;
  double startedAt = 0;

  bool Start(const std::string& scenarioName, const std::string& tag) {
    scenario = scenarioName;
    tracePath = workDir + "\\" + tag + ".trace.txt";
    resultPath = workDir + "\\" + tag + ".result.txt";
    DeleteFileA(resultPath.c_str());
    SetEnvironmentVariableA("LORMIX_SIM_SCENARIO", scenario.c_str());
    SetEnvironmentVariableA("LORMIX_SIM_TRACE", tracePath.c_str());
    SetEnvironmentVariableA("LORMIX_SIM_RESULT", resultPath.c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exePath + "\"";
    startedAt = Seconds();
    if (!CreateProcessA(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      Check(false, "LORMIX.exe starts (error %lu)", GetLastError());
      return false;
    }
    const bool found = WaitFor(20, [&] { return (window = FindOwnWindow("LORMIX", nullptr, nullptr)) != nullptr; });
    if (!Check(found, "[%s] the main window (class \"LORMIX\") appears", scenario.c_str())) return false;
    HMODULE modules[1];
    DWORD needed = 0;
    const uint32_t rva = SymbolRva(exePath, "statusLog");
    if (rva != 0 && EnumProcessModules(process.hProcess, modules, sizeof modules, &needed) && needed > 0)
      logAddress = reinterpret_cast<uintptr_t>(modules[0]) + rva;
    return Check(logAddress != 0, "the status log is found in the process (RVA %08X)", rva);
  }

  ~Lormix() {
    if (process.hProcess != nullptr) {
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
    }
  }

  bool Running() const { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; }

  // A top-level window of this process with the class and title (null: any).
  HWND FindOwnWindow(const char* className, const char* title, HWND owner) const {
    WindowSearch search{process.dwProcessId, className, title, owner, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  struct WindowSearch {
    DWORD pid;
    const char *className, *title;
    HWND owner, found;
  };
  static BOOL CALLBACK MatchWindow(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<WindowSearch*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != s->pid || !IsWindowVisible(w)) return TRUE;
    char text[256];
    GetClassNameA(w, text, sizeof text);
    if (std::strcmp(text, s->className) != 0) return TRUE;
    GetWindowTextA(w, text, sizeof text);
    if (s->title != nullptr && std::strcmp(text, s->title) != 0) return TRUE;
    if (s->owner != nullptr && GetWindow(w, GW_OWNER) != s->owner) return TRUE;
    s->found = w;
    return FALSE;
  }

  std::vector<std::string> Lines() const {
    static char slots[kLines][kSlot];
    SIZE_T got = 0;
    std::vector<std::string> out;
    if (!ReadProcessMemory(process.hProcess, reinterpret_cast<LPCVOID>(logAddress), slots, sizeof slots, &got) ||
        got != sizeof slots)
      return out;
    for (auto& slot : slots) out.emplace_back(slot, strnlen(slot, kSlot));
    return out;
  }

  bool HasLine(const std::string& text) const {
    for (const std::string& line : Lines())
      if (line == text) return true;
    return false;
  }

  bool WaitLine(const std::string& text, double seconds) {
    const bool ok = WaitFor(seconds, [&] { return HasLine(text) || !Running(); });
    return Check(ok && HasLine(text), "[%s] shows \"%s\" (%.1f s after start)%s", scenario.c_str(), text.c_str(),
                 Seconds() - startedAt, ok && HasLine(text) ? "" : Quote(Lines()).c_str());
  }

  // Waits for the process to end; returns its exit code, or -1 when it is
  // still running after `seconds`.
  long WaitExit(double seconds) {
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<long>(code);
  }

  bool ExpectExit(long expected, double seconds, const char* how) {
    const long code = WaitExit(seconds);
    return Check(code == expected, "[%s] %s ends the program with exit code %ld (got %ld%s)", scenario.c_str(),
                 how, expected, code, code == -1 ? ": still running" : "");
  }

  std::string Result() const {
    std::ifstream in(resultPath);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

// ---------------------------------------------------------------- input and pictures

void Key(WORD vk, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  SendInput(1, &input, sizeof input);
  Sleep(30);
}

// Presses the keys in order and releases them in reverse.
void Chord(std::initializer_list<WORD> keys) {
  for (WORD k : keys) Key(k, false);
  for (auto k = std::rbegin(keys); k != std::rend(keys); ++k) Key(*k, true);
  Sleep(100);
}

bool Foreground(HWND window) {
  SetForegroundWindow(window);
  return WaitFor(3, [&] { return GetForegroundWindow() == window; });
}

// The screen (the Wine desktop) as a 24-bit bottom-up .bmp.
void Screenshot(const std::string& name) {
  Sleep(500);  // let windows that have just appeared finish painting
  const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD rowBytes = (w * 3 + 3) & ~3u, size = rowBytes * h;
  BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0, 0,
                        sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
  const std::string path = workDir + "\\" + name + ".bmp";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, f);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
    std::fwrite(bits, 1, size, f);
    std::fclose(f);
    Say("  screenshot %s", path.c_str());
  }
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// Pixels (0x00RRGGBB, top row first) of a screen rectangle.
std::vector<uint32_t> ScreenPixels(int x, int y, int w, int h) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, w, h, screen, x, y, SRCCOPY);
  GdiFlush();
  std::vector<uint32_t> out(static_cast<const uint32_t*>(bits), static_cast<const uint32_t*>(bits) + w * h);
  for (auto& p : out) p &= 0xFFFFFF;
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return out;
}

// ---------------------------------------------------------------- shared checks

struct AboutBox {
  HWND box = nullptr;
  std::vector<std::string> items;
};

AboutBox FindAbout(Lormix& app, double seconds) {
  AboutBox about;
  WaitFor(seconds, [&] { return (about.box = app.FindOwnWindow("#32770", "About LORMIX", app.window)) != nullptr; });
  if (about.box == nullptr) return about;
  HWND list = GetDlgItem(about.box, 1000);
  const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    // The wide message: Wine hands the ANSI one's text across processes as UTF-16.
    wchar_t wide[300] = {};
    char text[300] = {};
    if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < 300) SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    about.items.push_back(text);
  }
  return about;
}

void CheckAboutOpen(Lormix& app, const char* how) {
  AboutBox about = FindAbout(app, 5);
  if (!Check(about.box != nullptr, "%s opens the About box, owned by the main window", how)) return;
  const std::vector<std::string> expected = {"TQ410_EN ver. 01.20", "TQ410_CZ ver. 01.20", "TQ410_FR ver. 01.20"};
  Check(about.items == expected, "its list holds the three images in slot order%s", Quote(about.items).c_str());
  Check(!IsWindowEnabled(app.window), "the main window takes no input while it is open");
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  GetGUIThreadInfo(GetWindowThreadProcessId(about.box, nullptr), &gui);
  Check(gui.hwndFocus == GetDlgItem(about.box, IDOK), "the focus is on OK");
}

// Ends the About box by `close` and checks that it went.
void CloseAbout(Lormix& app, const char* how, const std::function<void(HWND)>& close) {
  HWND box = app.FindOwnWindow("#32770", "About LORMIX", app.window);
  if (box == nullptr) return;
  close(box);
  const bool gone = WaitFor(5, [&] { return !IsWindow(box); });
  Check(gone && IsWindowEnabled(app.window), "%s ends the About box and the main window takes input again", how);
}

// The question after a successful update: text, caption, buttons, default No.
HWND WaitQuestion(Lormix& app, double seconds) {
  HWND box = nullptr;
  WaitFor(seconds, [&] {
    return !app.Running() || (box = app.FindOwnWindow("#32770", "Update done o.k.", app.window)) != nullptr;
  });
  if (!Check(box != nullptr, "[%s] the question box \"Update done o.k.\" appears (%.1f s after start)%s",
             app.scenario.c_str(), Seconds() - app.startedAt, box ? "" : Quote(app.Lines()).c_str()))
    return nullptr;
  char text[256] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  Check(std::strcmp(text, "Update another device?") == 0, "it asks \"Update another device?\" (\"%s\")", text);
  // The default button is the one drawn as default and holding the focus.
  HWND yes = GetDlgItem(box, IDYES), no = GetDlgItem(box, IDNO);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &gui);
  const auto kind = [](HWND button) { return GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK; };
  Check(yes && no && kind(no) == BS_DEFPUSHBUTTON && kind(yes) == BS_PUSHBUTTON && gui.hwndFocus == no,
        "it has Yes and No buttons, No the default");
  return box;
}

void Answer(HWND box, int button) { PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button))); }

std::vector<std::string> DirectUpdateLines(const char* identity) {
  return {"USB adapter o.k.", "Device searching...", "Device detected.", identity, "TQ410_EN ver. 01.20", "",
          identity,           "",                    "Update done o.k.", "Disconnect device please."};
}

bool ResultHas(const Lormix& app, const std::string& text) { return app.Result().find(text) != std::string::npos; }

// ---------------------------------------------------------------- the cases

// Reads a resource's bytes from the module (LOAD_LIBRARY_AS_DATAFILE).
std::vector<uint8_t> ResourceBytes(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  HRSRC found = FindResourceExA(module, type, name, language);
  if (found == nullptr) return {};
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
  return std::vector<uint8_t>(data, data + SizeofResource(module, found));
}

BOOL CALLBACK AddLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR p) {
  reinterpret_cast<std::vector<WORD>*>(p)->push_back(language);
  return TRUE;
}

std::vector<WORD> ResourceLanguages(HMODULE module, LPCSTR type, LPCSTR name) {
  std::vector<WORD> out;
  EnumResourceLanguagesA(module, type, name, AddLanguage, reinterpret_cast<LONG_PTR>(&out));
  return out;
}

// Walks a DLGTEMPLATEEX.
struct TemplateReader {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  bool ok = true;
  uint32_t U(size_t size) {
    if (at + size > bytes.size()) {
      ok = false;
      return 0;
    }
    uint32_t v = 0;
    for (size_t i = 0; i < size; ++i) v |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    at += size;
    return v;
  }
  // A name or ordinal: "#n" for an ordinal, "" for none.
  std::string Name() {
    const uint32_t first = U(2);
    if (first == 0xFFFF) return "#" + std::to_string(U(2));
    std::string text;
    for (uint32_t c = first; ok && c != 0; c = U(2)) text += static_cast<char>(c);
    return text;
  }
  void Align() { at = (at + 3) & ~size_t{3}; }
};

// The resources as the program depends on them: ids, contents and languages.
void CaseResources() {
  HMODULE module = LoadLibraryExA(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!Check(module != nullptr, "LORMIX.exe loads as a data file")) return;
  constexpr WORD kEnglish = 1033, kCzech = 1029;

  struct Expect {
    LPCSTR type;
    int name;
    const char* what;
    WORD language;
  } languages[] = {
      {RT_STRING, 103 / 16 + 1, "strings 96-111", kEnglish}, {RT_MENU, 109, "menu 109", kEnglish},
      {RT_ACCELERATOR, 109, "accelerators 109", kEnglish},  {RT_GROUP_ICON, 107, "icon group 107", kEnglish},
      {RT_DIALOG, 103, "dialog 103", kEnglish},              {RT_BITMAP, 129, "bitmap 129", kCzech},
  };
  for (const Expect& e : languages) {
    const auto found = ResourceLanguages(module, e.type, MAKEINTRESOURCEA(e.name));
    Check(found == std::vector<WORD>{e.language}, "%s exists in language %u only (%zu languages, first %u)", e.what,
          e.language, found.size(), found.empty() ? 0 : found[0]);
  }

  char text[128] = {};
  LoadStringA(module, 103, text, sizeof text);
  Check(std::strcmp(text, "  LORMIX") == 0, "string 103 is \"  LORMIX\" (\"%s\")", text);
  LoadStringA(module, 109, text, sizeof text);
  Check(std::strcmp(text, "LORMIX") == 0, "string 109 is \"LORMIX\" (\"%s\")", text);

  HMENU menu = LoadMenuA(module, MAKEINTRESOURCEA(109));
  struct Item {
    int popup;
    const char *popupText, *itemText;
    UINT id;
  } items[] = {{0, "&File", "E&xit", 105}, {1, "&Help", "&About ...", 104}};
  Check(menu != nullptr && GetMenuItemCount(menu) == 2, "menu 109 has two popups");
  for (const Item& item : items) {
    char popupText[64] = {}, itemText[64] = {};
    GetMenuStringA(menu, item.popup, popupText, sizeof popupText, MF_BYPOSITION);
    HMENU sub = GetSubMenu(menu, item.popup);
    GetMenuStringA(sub, 0, itemText, sizeof itemText, MF_BYPOSITION);
    Check(std::strcmp(popupText, item.popupText) == 0 && GetMenuItemCount(sub) == 1 &&
              std::strcmp(itemText, item.itemText) == 0 && GetMenuItemID(sub, 0) == item.id,
          "\"%s\" > \"%s\" gives command %u (\"%s\" > \"%s\", %u)", item.popupText, item.itemText, item.id,
          popupText, itemText, GetMenuItemID(sub, 0));
  }
  if (menu) DestroyMenu(menu);

  // Character-code entries (no FVIRTKEY) with FALT only; the last one flagged 0x80.
  const auto accel = ResourceBytes(module, RT_ACCELERATOR, MAKEINTRESOURCEA(109), kEnglish);
  const std::vector<uint8_t> accelExpected = {0x10, 0, '?', 0, 104, 0, 0, 0, 0x90, 0, '/', 0, 104, 0, 0, 0};
  Check(accel == accelExpected, "accelerators: Alt with the characters \"?\" and \"/\" give command 104");

  const auto group = ResourceBytes(module, RT_GROUP_ICON, MAKEINTRESOURCEA(107), kEnglish);
  bool iconsOk = group.size() == 6 + 2 * 14 && group[2] == 1 && group[4] == 2;
  const int sizes[2] = {32, 16};
  for (int i = 0; iconsOk && i < 2; ++i) {
    const uint8_t* e = group.data() + 6 + 14 * i;
    iconsOk = e[0] == sizes[i] && e[1] == sizes[i] && e[2] == 16 && (e[6] | e[7] << 8) == 4;
  }
  Check(iconsOk, "icon group 107: a 32 x 32 and a 16 x 16 image, 16 colours each");

  const auto bitmap = ResourceBytes(module, RT_BITMAP, MAKEINTRESOURCEA(129), kCzech);
  bool bitmapOk = bitmap.size() >= 40 + 64;
  if (bitmapOk) {
    BITMAPINFOHEADER h;
    std::memcpy(&h, bitmap.data(), sizeof h);
    static const uint32_t standard[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                          0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                          0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    bitmapOk = h.biWidth == 160 && h.biHeight == 46 && h.biBitCount == 4 && h.biCompression == BI_RGB;
    for (int i = 0; bitmapOk && i < 16; ++i) {
      const uint8_t* q = bitmap.data() + 40 + 4 * i;
      bitmapOk = (static_cast<uint32_t>(q[2]) << 16 | q[1] << 8 | q[0]) == standard[i];
    }
  }
  Check(bitmapOk, "bitmap 129: 160 x 46, 4 bits per pixel, the standard 16-colour palette");

  const auto dialog = ResourceBytes(module, RT_DIALOG, MAKEINTRESOURCEA(103), kEnglish);
  TemplateReader t{dialog};
  const uint32_t version = t.U(2), signature = t.U(2), helpId = t.U(4), exStyle = t.U(4), style = t.U(4);
  const uint32_t count = t.U(2);
  const int x = static_cast<int16_t>(t.U(2)), y = static_cast<int16_t>(t.U(2)), cx = static_cast<int16_t>(t.U(2)),
            cy = static_cast<int16_t>(t.U(2));
  const std::string menuName = t.Name(), className = t.Name(), caption = t.Name();
  const uint32_t points = t.U(2), weight = t.U(2), italic = t.U(1), charset = t.U(1);
  const std::string face = t.Name();
  const uint32_t wantStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;
  Check(t.ok && version == 1 && signature == 0xFFFF && helpId == 0 && exStyle == 0 && style == wantStyle &&
            count == 6 && x == 0 && y == 0 && cx == 234 && cy == 127 && menuName.empty() && className.empty() &&
            caption == "About LORMIX",
        "dialog 103: extended template, style %08X, 0 0 234 127, caption \"About LORMIX\", 6 controls "
        "(style %08X, %d %d %d %d, \"%s\", %u)",
        wantStyle, style, x, y, cx, cy, caption.c_str(), count);
  Check(points == 8 && weight == 0 && italic == 0 && charset == 1 && face == "MS Shell Dlg",
        "its font: \"MS Shell Dlg\" 8 point, weight 0, not italic, charset 1 (\"%s\" %u %u %u %u)", face.c_str(),
        points, weight, italic, charset);
  struct Control {
    const char *cls, *text;
    int32_t id;
    int x, y, cx, cy;
    uint32_t style;
  } controls[] = {
      {"#130", "#107", 2, 14, 31, 20, 20, SS_ICON},
      {"#130", "LORMIX, Version 1.2", -1, 42, 31, 75, 8, WS_GROUP | SS_LEFT | SS_NOPREFIX},
      {"#130", nullptr, -1, 42, 42, 77, 8, WS_GROUP | SS_LEFT},
      {"#128", "OK", IDOK, 34, 90, 50, 14, WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON},
      {"#130", "Firmware update:", -1, 122, 7, 89, 8, WS_GROUP | SS_LEFT},
      {"#131", "", 1000, 122, 18, 105, 100,
       WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT | LBS_DISABLENOSCROLL},
  };
  for (size_t i = 0; i < 6 && t.ok && i < count; ++i) {
    const Control& c = controls[i];
    t.Align();
    const uint32_t cHelp = t.U(4), cEx = t.U(4), cStyle = t.U(4);
    const int cx0 = static_cast<int16_t>(t.U(2)), cy0 = static_cast<int16_t>(t.U(2)),
              cw = static_cast<int16_t>(t.U(2)), ch = static_cast<int16_t>(t.U(2));
    const int32_t id = static_cast<int32_t>(t.U(4));
    const std::string cls = t.Name(), title = t.Name();
    t.at += t.U(2);  // creation data
    Check(t.ok && cHelp == 0 && cEx == 0 && cStyle == (c.style | WS_CHILD | WS_VISIBLE) && cx0 == c.x &&
              cy0 == c.y && cw == c.cx && ch == c.cy && id == c.id && cls == c.cls &&
              (c.text == nullptr ? !title.empty() : title == c.text),
          "control %zu: class %s, text \"%s\", id %d at %d %d %d %d, style %08X (got %s \"%s\" %d at %d %d %d %d, %08X)",
          i + 1, c.cls, c.text ? c.text : "(notice)", c.id, c.x, c.y, c.cx, c.cy, c.style | WS_CHILD | WS_VISIBLE,
          cls.c_str(), title.c_str(), id, cx0, cy0, cw, ch, cStyle);
  }
  FreeLibrary(module);
}


// The main window, its menu and keys, the About box, and File > Exit; no
// adapter is plugged in, so the worker shows the two adapter lines throughout.
void CaseWindow() {
  Lormix app;
  if (!app.Start("no-adapter", "window")) return;
  HWND w = app.window;
  char text[256];
  GetWindowTextA(w, text, sizeof text);
  Check(std::strcmp(text, "  LORMIX") == 0, "title \"  LORMIX\" (\"%s\")", text);
  RECT r;
  GetWindowRect(w, &r);
  Check(r.right - r.left == 500 && r.bottom - r.top == 250, "outer size 500 x 250 (%ld x %ld)", r.right - r.left,
        r.bottom - r.top);
  const LONG style = GetWindowLongA(w, GWL_STYLE);
  Check((style & WS_OVERLAPPEDWINDOW) == WS_OVERLAPPEDWINDOW, "overlapped window style (%08lX)", style);
  const ULONG_PTR classStyle = GetClassLongPtrA(w, GCL_STYLE);
  Check(classStyle == (CS_HREDRAW | CS_VREDRAW), "class style CS_HREDRAW | CS_VREDRAW (%08lX)",
        static_cast<unsigned long>(classStyle));
  // (Class data and menus of another process are out of reach under Wine; the
  // resources case checks the menu and icon, and the keys below use the menu.)

  // No adapter: the two open-failure lines, and nothing further.
  app.WaitLine("USB adapter connection - Failed", 10);
  app.WaitLine("Insert USB adapter please.", 1);
  const auto lines = app.Lines();
  Check(lines.size() == 10 && lines[2].empty(), "nothing follows them%s", Quote(lines).c_str());

  // The logo at (300, 5) of the client area is the bitmap resource.
  POINT origin{300, 5};
  ClientToScreen(w, &origin);
  RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  Sleep(300);
  HMODULE image = LoadLibraryExA(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HBITMAP logo = static_cast<HBITMAP>(LoadImageA(image, MAKEINTRESOURCEA(129), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  std::vector<uint32_t> expected(160 * 46);
  BITMAPINFO bi{};
  bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 160, -46, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  HDC dc = GetDC(nullptr);
  const int gotRows = logo ? GetDIBits(dc, logo, 0, 46, expected.data(), &bi, DIB_RGB_COLORS) : 0;
  ReleaseDC(nullptr, dc);
  for (auto& p : expected) p &= 0xFFFFFF;
  const auto shown = ScreenPixels(origin.x, origin.y, 160, 46);
  size_t differ = 0;
  for (size_t i = 0; i < shown.size(); ++i) differ += shown[i] != expected[i];
  Check(gotRows == 46 && differ == 0, "the window shows the logo bitmap at (300, 5) (%zu of 7360 pixels differ)",
        differ);
  if (logo) DeleteObject(logo);
  if (image) FreeLibrary(image);
  Screenshot("window");

  // Arrow keys move the window by one pixel; other keys do nothing. Posted
  // messages are handled in order, so a key that should do nothing is
  // followed by Right, and the move seen once Right has been handled must be
  // Right's pixel alone.
  struct Move {
    WORD key;
    const char* name;
    int dx, dy;
  } moves[] = {{VK_LEFT, "Left", -1, 0}, {VK_UP, "Up", 0, -1},    {VK_RIGHT, "Right", 1, 0},
               {VK_DOWN, "Down", 0, 1},  {VK_HOME, "Home", 0, 0}, {'A', "A", 0, 0},
               {VK_F5, "F5", 0, 0}};
  for (const Move& m : moves) {
    RECT before, after;
    GetWindowRect(w, &before);
    PostMessageA(w, WM_KEYDOWN, m.key, 1);
    const bool still = m.dx == 0 && m.dy == 0;
    if (still) PostMessageA(w, WM_KEYDOWN, VK_RIGHT, 1);
    WaitFor(3, [&] {
      GetWindowRect(w, &after);
      return !EqualRect(&before, &after);
    });
    Sleep(200);  // a second, wrong move would show by now
    GetWindowRect(w, &after);
    const int wantX = still ? 1 : m.dx;
    Check(after.left - before.left == wantX && after.top - before.top == m.dy &&
              after.right - after.left == before.right - before.left &&
              after.bottom - after.top == before.bottom - before.top,
          "key %s moves the window by (%d, %d), size unchanged (moved by (%ld, %ld)%s)", m.name, m.dx, m.dy,
          after.left - before.left - (still ? 1 : 0), after.top - before.top, still ? " besides Right's pixel" : "");
  }

  // Help > About (from the keyboard: Alt+H, A), Alt+/ and Alt+? open the
  // box; OK, Escape and the close box end it.
  Check(Foreground(w), "the main window can be brought to the front for keyboard input");
  Chord({VK_MENU, 'H'});
  Sleep(300);
  Chord({'A'});
  CheckAboutOpen(app, "Help > About");
  Screenshot("about");
  CloseAbout(app, "OK", [](HWND box) { PostMessageA(box, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))); });

  Foreground(w);
  Chord({VK_MENU, VK_OEM_2});
  CheckAboutOpen(app, "Alt+/");
  CloseAbout(app, "Escape", [](HWND box) {
    Foreground(box);
    Chord({VK_ESCAPE});
  });

  Foreground(w);
  Chord({VK_MENU, VK_SHIFT, VK_OEM_2});
  CheckAboutOpen(app, "Alt+? (Alt+Shift+/)");
  CloseAbout(app, "the close box", [](HWND box) { PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0); });

  // Without Alt the same keys do nothing.
  Foreground(w);
  Chord({VK_OEM_2});
  Check(FindAbout(app, 1).box == nullptr, "\"/\" without Alt opens nothing");

  // File > Exit from the keyboard: Alt+F, then X.
  Foreground(w);
  Chord({VK_MENU, 'F'});
  Sleep(300);
  Chord({'X'});
  app.ExpectExit(0, 10, "File > Exit");
}

// Closing the main window (system menu or close box) ends the program.
void CaseCloseBox() {
  Lormix app;
  if (!app.Start("no-adapter", "close-box")) return;
  PostMessageA(app.window, WM_SYSCOMMAND, SC_CLOSE, 0);
  app.ExpectExit(0, 10, "the close box");
}

// Closing the window in the middle of programming ends the program at once.
void CaseCloseMidUpdate() {
  Lormix app;
  if (!app.Start("replace", "close-mid-update")) return;
  auto progress = [&] {
    for (const std::string& line : app.Lines())
      if (line.find("%)") != std::string::npos) return true;
    return false;
  };
  Check(WaitFor(30, progress), "programming shows its progress line%s", Quote(app.Lines()).c_str());
  Screenshot("programming");
  PostMessageA(app.window, WM_SYSCOMMAND, SC_CLOSE, 0);
  app.ExpectExit(0, 10, "closing the window in mid-update");
}

// One whole update ending in the question; `yesFirst` answers Yes once (for
// the scenario's second device) before No.
void CaseUpdate(const char* scenario, const char* identity, const std::vector<std::string>& devicesAfter,
                bool yesFirst) {
  Lormix app;
  if (!app.Start(scenario, scenario)) return;
  const double start = Seconds();

  // While the box is open the worker goes on: the progress line changes.
  if (std::strcmp(scenario, "replace") == 0) {
    auto progress = [&]() -> std::string {
      for (const std::string& line : app.Lines())
        if (line.find("%)") != std::string::npos) return line;
      return {};
    };
    WaitFor(30, [&] { return !progress().empty(); });
    PostMessageA(app.window, WM_COMMAND, 104, 0);
    const std::string first = progress();
    AboutBox about = FindAbout(app, 5);
    const bool moved = WaitFor(10, [&] { const auto now = progress(); return !now.empty() && now != first; });
    Check(about.box != nullptr && moved, "with the About box open the update goes on (\"%s\" then \"%s\")",
          first.c_str(), progress().c_str());
    Screenshot(std::string(scenario) + "-about-during-update");
    CloseAbout(app, "OK", [](HWND box) { PostMessageA(box, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))); });
  }

  HWND box = WaitQuestion(app, 120);
  if (box == nullptr) return;
  const double took = Seconds() - start;
  Say("  [%s] the update took %.1f s from start to the question", scenario, took);
  if (identity != nullptr) {
    const auto lines = app.Lines();
    Check(lines == DirectUpdateLines(identity), "the ten status lines of a direct update%s", Quote(lines).c_str());
  } else {
    const auto lines = app.Lines();
    Check(lines.size() == 10 && lines[7].empty() && lines[8] == "Update done o.k." &&
              lines[9] == "Disconnect device please.",
          "the log ends with a blank line, \"Update done o.k.\", \"Disconnect device please.\"%s",
          Quote(lines).c_str());
  }
  Screenshot(std::string(scenario) + "-question");

  if (yesFirst) {
    Answer(box, IDYES);
    WaitFor(5, [&] { return !IsWindow(box); });
    box = WaitQuestion(app, 120);
    if (box == nullptr) return;
    Say("  [%s] the second device took %.1f s from Yes to the question", scenario, Seconds() - start - took);
  }
  const std::string result = app.Result();
  for (const std::string& device : devicesAfter)
    Check(result.find(device) != std::string::npos, "the simulated device holds the new firmware: \"%s\"%s",
          device.c_str(), ("\n        " + result).c_str());
  if (std::strcmp(scenario, "noisy") == 0)
    Check(result.find("line bytes-lost=0 bytes-garbled=0") == std::string::npos &&
              result.find("line bytes-lost=") != std::string::npos,
          "the line did lose or garble bytes on the way%s", ("\n        " + result).c_str());
  Answer(box, IDNO);
  app.ExpectExit(0, 10, "No to \"Update another device?\" (the worker's Exit command)");
}

void CaseUpToDate() {
  Lormix app;
  if (!app.Start("up-to-date", "up-to-date")) return;
  app.WaitLine("Device is up to date", 30);
  app.WaitLine("Update error. Try again please.", 5);
  Check(ResultHas(app, "commits=0"), "nothing was written to the device");
  Screenshot("up-to-date");
  PostMessageA(app.window, WM_COMMAND, 105, 0);
  app.ExpectExit(0, 10, "File > Exit");
}

void CaseRefuseBaud() {
  Lormix app;
  if (!app.Start("refuse-baud", "refuse-baud")) return;
  app.WaitLine("Error FT_SetBaudRate Failed", 10);
  app.WaitLine("USB adapter o.k.", 2);
  DWORD_PTR reply = 0;
  Check(SendMessageTimeoutA(app.window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &reply) != 0,
        "the window still answers");
  Screenshot("refuse-baud");
  PostMessageA(app.window, WM_SYSCOMMAND, SC_CLOSE, 0);
  app.ExpectExit(0, 10, "the close box");
}

// The adapter is pulled out during programming and put back 6 s later: the
// update fails, the program asks for the adapter, then updates the device.
void CasePulledOut() {
  Lormix app;
  if (!app.Start("pulled-out", "pulled-out")) return;
  app.WaitLine("Update error. Try again please.", 40);
  app.WaitLine("Insert USB adapter please.", 15);
  Screenshot("pulled-out");
  HWND box = WaitQuestion(app, 90);
  if (box == nullptr) return;
  Check(ResultHas(app, "codeS=013F commits=1"), "the device holds the new firmware after all\n        %s",
        app.Result().c_str());
  Answer(box, IDNO);
  app.ExpectExit(0, 10, "No");
}

// Makes CreateThread fail in a freshly started LORMIX.exe: the driver starts
// it under its debugger, and at the loader's first breakpoint (imports bound,
// no program code run yet) points the program's import of
// KERNEL32.CreateThread at "return 0", then lets go. The program must say
// "CreateThread Error !" over its visible window and end with exit code 1.
bool PatchCreateThread(HANDLE process, uintptr_t base) {
  auto read = [&](uintptr_t at, void* out, size_t n) {
    SIZE_T got = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(at), out, n, &got) && got == n;
  };
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS nt;
  if (!read(base, &dos, sizeof dos) || !read(base + dos.e_lfanew, &nt, sizeof nt)) return false;
  const IMAGE_DATA_DIRECTORY imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  // A stub that returns a null handle: xor eax, eax; ret (32-bit: stdcall,
  // ret 24 pops CreateThread's six arguments).
#if defined(_WIN64)
  static const uint8_t stub[] = {0x31, 0xC0, 0xC3};
#else
  static const uint8_t stub[] = {0x31, 0xC0, 0xC2, 0x18, 0x00};
#endif
  void* code = VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  SIZE_T wrote = 0;
  if (code == nullptr || !WriteProcessMemory(process, code, stub, sizeof stub, &wrote)) return false;
  for (uintptr_t at = base + imports.VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR d;
    if (!read(at, &d, sizeof d) || d.Name == 0) return false;
    char dll[32] = {};
    read(base + d.Name, dll, sizeof dll - 1);
    if (_stricmp(dll, "KERNEL32.dll") != 0) continue;
    for (size_t i = 0;; ++i) {
      IMAGE_THUNK_DATA name;
      const uintptr_t slot = base + d.FirstThunk + i * sizeof(IMAGE_THUNK_DATA);
      if (!read(base + d.OriginalFirstThunk + i * sizeof name, &name, sizeof name) || name.u1.AddressOfData == 0)
        return false;
      if (IMAGE_SNAP_BY_ORDINAL(name.u1.Ordinal)) continue;
      char function[64] = {};
      read(base + name.u1.AddressOfData + 2, function, sizeof function - 1);
      if (std::strcmp(function, "CreateThread") != 0) continue;
      DWORD old = 0;
      const uintptr_t target = reinterpret_cast<uintptr_t>(code);
      return VirtualProtectEx(process, reinterpret_cast<LPVOID>(slot), sizeof target, PAGE_READWRITE, &old) &&
             WriteProcessMemory(process, reinterpret_cast<LPVOID>(slot), &target, sizeof target, &wrote);
    }
  }
}

void CaseNoThread() {
  Lormix app;
  app.scenario = "replace";
  app.tracePath = workDir + "\\no-thread.trace.txt";
  app.resultPath = workDir + "\\no-thread.result.txt";
  DeleteFileA(app.tracePath.c_str());
  SetEnvironmentVariableA("LORMIX_SIM_SCENARIO", app.scenario.c_str());
  SetEnvironmentVariableA("LORMIX_SIM_TRACE", app.tracePath.c_str());
  SetEnvironmentVariableA("LORMIX_SIM_RESULT", app.resultPath.c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  std::string commandLine = "\"" + exePath + "\"";
  if (!Check(CreateProcessA(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                            nullptr, nullptr, &startup, &app.process) != 0,
             "LORMIX.exe starts under the driver's debugger"))
    return;
  app.startedAt = Seconds();
  uintptr_t base = 0;
  bool patched = false;
  for (bool attached = true; attached;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, 10000)) break;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        base = reinterpret_cast<uintptr_t>(event.u.CreateProcessInfo.lpBaseOfImage);
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT) {
          patched = PatchCreateThread(app.process.hProcess, base);
          attached = false;
        } else {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        attached = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  DebugActiveProcessStop(app.process.dwProcessId);
  if (!Check(patched, "the program's import of CreateThread now fails")) return;

  WaitFor(20, [&] { return (app.window = app.FindOwnWindow("LORMIX", nullptr, nullptr)) != nullptr; });
  HWND box = nullptr;
  WaitFor(20, [&] { return !app.Running() || (box = app.FindOwnWindow("#32770", "Error", app.window)) != nullptr; });
  if (!Check(box != nullptr, "a box \"Error\" owned by the main window appears")) return;
  char text[128] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  Check(std::strcmp(text, "CreateThread Error !") == 0, "it says \"CreateThread Error !\" (\"%s\")", text);
  Check(GetDlgItem(box, IDOK) != nullptr && GetDlgItem(box, IDCANCEL) == nullptr && GetDlgItem(box, IDNO) == nullptr,
        "it has an OK button only");
  Check(IsWindowVisible(app.window), "the main window is visible behind it");
  Screenshot("no-thread");
  PostMessageA(box, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  app.ExpectExit(1, 10, "OK on the CreateThread error");
  std::ifstream trace(app.tracePath);
  Check(!trace.good(), "no worker ran: the adapter library was never called");
}

// The demonstration for scripts/run.sh: one update with screenshots, then No.
int Run() {
  Lormix app;
  const char* scenario = std::getenv("LORMIX_SIM_SCENARIO");
  if (!app.Start(scenario != nullptr && scenario[0] != '\0' ? scenario : "replace", "run")) return 1;
  WaitFor(8, [] { return false; });
  Screenshot("run-1-programming");
  HWND box = WaitQuestion(app, 150);
  Screenshot("run-2-question");
  if (box != nullptr) Answer(box, IDNO);
  const long code = app.WaitExit(box != nullptr ? 15 : 0);
  Say("LORMIX.exe ended with exit code %ld", code);
  return code < 0 ? 1 : static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s CASE|run LORMIX.exe WORKDIR\n", argv[0]);
    return 2;
  }
  const std::string name = argv[1];
  exePath = argv[2];
  workDir = argv[3];
  if (name == "run") return Run();

  const char* en = "ID (00012:00345) H:0A21 B:0235 S:0100";
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"resources", CaseResources},
      {"window", CaseWindow},
      {"close-box", CaseCloseBox},
      {"no-thread", CaseNoThread},
      {"close-mid-update", CaseCloseMidUpdate},
      {"replace", [&] {
         CaseUpdate("replace", en,
                    {"device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1",
                     "device 2 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1"},
                    true);
       }},
      {"bridge", [] {
         CaseUpdate("bridge", nullptr,
                    {"device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1",
                     "device 2 TQ410_CZ codeH=0A22 codeB=0235 codeS=013F commits=1"},
                    false);
       }},
      {"no-echo", [&] { CaseUpdate("no-echo", en, {"device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1"}, false); }},
      {"noisy", [] { CaseUpdate("noisy", nullptr, {"device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1"}, false); }},
      {"up-to-date", CaseUpToDate},
      {"refuse-baud", CaseRefuseBaud},
      {"pulled-out", CasePulledOut},
  };
  for (const auto& c : cases) {
    if (name != c.first) continue;
    Say("== %s", c.first);
    c.second();
    Say("== %s: %s", c.first, failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
  }
  std::fprintf(stderr, "unknown case %s\n", name.c_str());
  return 2;
}
