// tessary-run: the POSIX script host. Runs a script written for the Windows
// script host in JScript against the registered automation classes, so that
// one file runs in both places.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/engine.h"
#include "host/module_entry.h"
#include "platform/modules.h"
#include "platform/posix/files_internal.h"
#include "platform/system.h"

namespace {

constexpr char kUsage[] =
    "usage: tessary-run [options] SCRIPT.js [ARGS...]\n"
    "       tessary-run [options] -e CODE [ARGS...]\n"
    "       tessary-run [options] - [ARGS...]\n"
    "       tessary-run --register MODULE | --unregister MODULE\n"
    "\n"
    "Runs an ES5 (JScript dialect) script with WScript, ActiveXObject, Enumerator\n"
    "and VBArray. Classes are found in the store named by TESSARY_REGISTRY.\n"
    "\n"
    "options:\n"
    "  -e CODE              run CODE; messages name it \"-e\"\n"
    "  -                    read the script from standard input; messages name it \"-\"\n"
    "  --batch              batch mode: WScript.Interactive is false and\n"
    "                       WScript.Echo writes nothing\n"
    "  --timeout SECONDS    end the script once it has run SECONDS seconds\n"
    "                       (0, the default, for no limit; WScript.Timeout)\n"
    "  --register MODULE    load MODULE and call its DllRegisterServer\n"
    "  --unregister MODULE  load MODULE and call its DllUnregisterServer\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "\n"
    "Scripts are UTF-8 (a byte order mark is optional) or UTF-16 with a byte\n"
    "order mark. ARGS are WScript.Arguments; those written /name, /name:value,\n"
    "/name+ or /name- are also WScript.Arguments.Named (names in any case), the\n"
    "others WScript.Arguments.Unnamed. WScript.StdIn reads standard input as\n"
    "UTF-8. WScript.ScriptFullName, FullName and Path are Windows paths, as\n"
    "the drive mapping of the store spells them.\n"
    "\n"
    "An error the script does not catch is printed on standard error as\n"
    "  SCRIPT(LINE, COLUMN) runtime error: DESCRIPTION (0xHHHHHHHH)\n"
    "and a syntax error as\n"
    "  SCRIPT(LINE, COLUMN) compilation error: MESSAGE (0x800A03EA)\n"
    "SCRIPT is the script as named on the command line, LINE the line of the\n"
    "throw, COLUMN is always 1 (the engine reports lines only), HHHHHHHH the\n"
    "error's number (0x800A139E for a thrown value without one), DESCRIPTION its\n"
    "description or message (the system's text for the number when empty).\n"
    "\n"
    "A script that runs out of time is ended with\n"
    "  Script execution time was exceeded on script \"SCRIPTFULLNAME\".\n"
    "  Script execution terminated.\n"
    "on standard error.\n"
    "\n"
    "exit status: 0 on success; the code given to WScript.Quit; 1 after an\n"
    "uncaught error, a compilation error, running out of time, an unreadable\n"
    "script or a failed (un)registration, which prints the HRESULT; 2 for a\n"
    "usage error.\n";

// What the script runs with. Global, so that a script ending in WScript.Quit
// (which exits from inside the engine) leaves nothing unreachable.
std::string g_name;
std::string g_full_name;
std::string g_host_full_name;
std::string g_host_path;
char* g_source = nullptr;
std::vector<char*> g_args;

int UsageError(const char* message) {
  std::fprintf(stderr, "tessary-run: %s\n%s", message, kUsage);
  return 2;
}

int Register(const char* module, bool install) {
  const char* entry_name = install ? "DllRegisterServer" : "DllUnregisterServer";
  // The module records its own path for the class catalogue; give it the
  // absolute one, not a path relative to this directory.
  char full[PATH_MAX];
  const char* path = realpath(module, full) ? full : module;
  const HRESULT hr = tessary::CallRegistrationEntry(path, install);
  if (FAILED(hr)) {
    std::fprintf(stderr, "tessary-run: %s: %s failed: 0x%08X\n", module, entry_name,
                 static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}

bool ReadAll(std::FILE* stream, std::string* out) {
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) out->append(buffer, n);
  return !std::ferror(stream);
}

std::string AbsolutePath(const char* path) {
  char full[PATH_MAX];
  if (realpath(path, full)) return full;
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

// The Windows full path of a host path, as the store's drive mapping spells
// it; the host path itself when no drive or share holds it.
std::string WindowsPath(const std::string& host) {
  std::string windows;
  if (tessary::files::HostToWindows(host, &windows)) return windows;
  return host;
}

// The folder of a Windows full path ("C:\" for a file in a drive's root).
std::string WindowsFolder(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, slash);
}

// SECONDS of --timeout: a whole number from 0 to 2^31 - 1.
bool ParseSeconds(const char* text, long* seconds) {
  if (!*text) return false;
  long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 2147483647L) return false;
  }
  *seconds = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* script = nullptr;
  const char* code = nullptr;
  bool from_stdin = false;
  bool batch = false;
  long timeout = 0;
  int i = 1;
  while (i < argc) {
    const char* arg = argv[i];
    if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(arg, "--version")) {
      std::printf("tessary-run %s\n", TESSARY_VERSION);
      return 0;
    }
    if (!std::strcmp(arg, "--register") || !std::strcmp(arg, "--unregister")) {
      if (i + 1 >= argc) return UsageError("a module path is missing");
      if (i + 2 < argc) return UsageError("too many arguments");
      return Register(argv[i + 1], arg[2] == 'r');
    }
    if (!std::strcmp(arg, "--batch")) {
      batch = true;
      ++i;
      continue;
    }
    if (!std::strcmp(arg, "--timeout")) {
      if (i + 1 >= argc || !ParseSeconds(argv[i + 1], &timeout))
        return UsageError("--timeout needs a whole number of seconds");
      i += 2;
      continue;
    }
    if (!std::strcmp(arg, "-e")) {
      if (i + 1 >= argc) return UsageError("-e needs the code to run");
      code = argv[i + 1];
      i += 2;
      break;
    }
    if (!std::strcmp(arg, "-")) {
      from_stdin = true;
      ++i;
      break;
    }
    if (!std::strcmp(arg, "--")) {
      ++i;
      if (i >= argc) return UsageError("no script given");
      script = argv[i++];
      break;
    }
    if (arg[0] == '-') return UsageError((std::string("unknown option ") + arg).c_str());
    script = arg;
    ++i;
    break;
  }
  if (!script && !code && !from_stdin) return UsageError("no script given");

  std::string text;
  if (code) {
    g_name = "-e";
    text = code;
  } else if (from_stdin) {
    g_name = "-";
    if (!ReadAll(stdin, &text)) {
      std::fprintf(stderr, "tessary-run: cannot read the script from standard input\n");
      return 1;
    }
  } else {
    g_name = script;
    std::FILE* file = std::fopen(script, "rb");
    if (!file) {
      std::fprintf(stderr, "tessary-run: cannot open %s: %s\n", script, std::strerror(errno));
      return 1;
    }
    bool read = ReadAll(file, &text);
    std::fclose(file);
    if (!read) {
      std::fprintf(stderr, "tessary-run: cannot read %s\n", script);
      return 1;
    }
  }
  g_full_name = script ? WindowsPath(AbsolutePath(script)) : g_name;
  char self[PATH_MAX];
  ssize_t self_size = readlink("/proc/self/exe", self, sizeof self - 1);
  g_host_full_name = self_size > 0 ? WindowsPath(std::string(self, static_cast<size_t>(self_size)))
                                   : std::string("tessary-run");
  g_host_path = WindowsFolder(g_host_full_name);
  size_t source_size = 0;
  g_source = tessary::host::SourceToEngine(text.data(), text.size(), &source_size);
  if (!g_source) {
    std::fprintf(stderr, "tessary-run: %s: the script is not valid UTF-8 or UTF-16\n",
                 g_name.c_str());
    return 1;
  }
  std::string().swap(text);
  for (int k = i; k < argc; ++k) g_args.push_back(argv[k]);

  tessary::host::ScriptJob job{g_name.c_str(),
                               g_full_name.c_str(),
                               g_host_full_name.c_str(),
                               g_host_path.c_str(),
                               batch,
                               timeout,
                               g_source,
                               source_size,
                               static_cast<int>(g_args.size()),
                               g_args.data()};
  int status = tessary::host::RunScript(job);
  std::free(g_source);
  g_source = nullptr;
  return status;
}
