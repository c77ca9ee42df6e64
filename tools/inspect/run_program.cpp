// Program start without a shell: posix_spawnp on POSIX, CreateProcessW on Windows.
#include "run_program.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace varnel::inspect {

#if defined(_WIN32)
namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// One argument quoted so that the C runtime's command-line parser (and
// CommandLineToArgvW) gives it back unchanged: backslashes count only before
// a quote.
void append_quoted(std::wstring& line, const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

}  // namespace

ProgramOutcome run_program(const std::vector<std::string>& arguments) {
  ProgramOutcome outcome;
  std::wstring line;
  for (const auto& argument : arguments) {
    if (!line.empty()) line += L' ';
    append_quoted(line, widen(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // The application name stays null so that the first word is looked up on PATH.
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    const DWORD error = GetLastError();
    outcome.not_found = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    outcome.error = "CreateProcess failed with error " + std::to_string(error);
    return outcome;
  }
  outcome.started = true;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  outcome.exit_code = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return outcome;
}

#else

ProgramOutcome run_program(const std::vector<std::string>& arguments) {
  ProgramOutcome outcome;
  if (arguments.empty()) {
    outcome.error = "no program named";
    return outcome;
  }
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  // glibc reports a failed exec (no such program) as the result of posix_spawnp.
  const int status = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (status != 0) {
    outcome.not_found = status == ENOENT;
    outcome.error = std::strerror(status);
    return outcome;
  }
  outcome.started = true;
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0) {
    if (errno != EINTR) {
      outcome.error = std::strerror(errno);
      return outcome;
    }
  }
  if (WIFEXITED(wait_status))
    outcome.exit_code = WEXITSTATUS(wait_status);
  else if (WIFSIGNALED(wait_status))
    outcome.exit_code = 128 + WTERMSIG(wait_status);
  return outcome;
}

#endif

}  // namespace varnel::inspect
