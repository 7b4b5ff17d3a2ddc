// The simulator under Wine: the Linux program, started through Wine on its Z: path. A
// Linux process started so is not a child the test can wait for or read from, so a
// small bash script runs it: the script writes the simulator's output, process id and
// exit status to files in the simulator's folder, and ends it should the test process
// go first. Control requests go over WinHTTP.

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "LorvaniSim.h"
#include "TestSocket.h"
#include "TestText.h"
#include "UnixProgram.h"

namespace zvtest {

namespace {

constexpr int kStartSeconds = 60;
constexpr int kStopSeconds = 30;

std::wstring Wide(const std::string& aText) {
  if (aText.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& aText) {
  if (aText.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// Wine shows the Linux file system as drive Z:.
std::string LinuxPath(const std::string& aWindowsPath) {
  if (aWindowsPath.size() < 3 || (aWindowsPath[0] != 'Z' && aWindowsPath[0] != 'z') || aWindowsPath[1] != ':')
    throw std::runtime_error(Concat("not a path on drive Z: ", aWindowsPath));
  std::string path = aWindowsPath.substr(2);
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// A word for sh, quoted.
std::string ShellWord(const std::string& aWord) {
  std::string out = "'";
  for (char c : aWord) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out.append("'");
}

std::string ReadWhole(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& aPath) { return GetFileAttributesW(Wide(aPath).c_str()) != INVALID_FILE_ATTRIBUTES; }

// A port of 127.0.0.1 that accepts connections and keeps them open for as long as this
// process lives: a script connected to it reads the end of its connection when the
// test process has gone, however it ended.
int LifelinePort() {
  static const int port = [] {
    const int listening = TcpSocket();
    const int bound = BindLocal(listening);
    if (bound < 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    std::thread([listening] {
      std::vector<int> kept;  // closed by the system when the process ends
      for (;;) {
        const int connection = AcceptSocket(listening);
        if (connection >= 0)
          kept.push_back(connection);
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no spinning on a broken listener
      }
    }).detach();
    return bound;
  }();
  return port;
}

// A new folder under the Linux /tmp, as a Windows path.
std::string MakeFolder() {
  static int counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = Concat("Z:\\tmp\\lorvani-sim-", std::to_string(GetCurrentProcessId()), "-",
                                    std::to_string(GetTickCount64()), "-", std::to_string(++counter));
    if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return path;
  }
  throw std::runtime_error("cannot create a folder under Z:\\tmp");
}

// Starts a Linux program with the given arguments (no spaces in them), without waiting.
void StartLinux(const std::string& aProgram, const std::string& aArguments) {
  StartUnixProgram(Concat("Z:", aProgram), aArguments);
}

// Runs a bash script written to aFolder/run.sh.
void StartScript(const std::string& aFolder, const std::string& aScript) {
  {
    std::ofstream out(Concat(aFolder, "\\run.sh"), std::ios::binary);
    out << aScript;
    if (!out) throw std::runtime_error(Concat("cannot write ", aFolder, "\\run.sh"));
  }
  StartLinux("/bin/bash", Concat(LinuxPath(aFolder), "/run.sh"));
}

// Waits up to aSeconds for a file the script renames into place; its content, or
// nothing when it did not come.
bool WaitForFile(const std::string& aPath, int aSeconds, std::string& aContent) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
  while (!Exists(aPath)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  aContent = ReadWhole(aPath);
  return true;
}

// The exit status the script wrote: a number, above 128 when a signal ended the program.
int ExitStatus(const std::string& aText) {
  try {
    const int status = std::stoi(aText);
    return status > 128 ? -1 : status;
  } catch (const std::exception&) {
    return -1;
  }
}

struct InternetHandle {
  HINTERNET Handle;
  explicit InternetHandle(HINTERNET a) : Handle(a) {}
  ~InternetHandle() {
    if (Handle) WinHttpCloseHandle(Handle);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
};

}  // namespace

LorvaniSim::LorvaniSim(std::vector<std::string> aArguments) {
  const std::string program = ProgramPath();
  fDirectory = MakeFolder();
  fCaFile = Concat(fDirectory, "\\ca.pem");
  fVerify = std::find(aArguments.begin(), aArguments.end(), "--hostname-mismatch") == aArguments.end();
  const std::string folder = LinuxPath(fDirectory);

  std::string command = Concat(ShellWord(program), " --port 0 --ca-out ", ShellWord(Concat(folder, "/ca.pem")), " --quiet");
  for (const std::string& argument : aArguments) command.append(" ").append(ShellWord(argument));
  // The script starts the simulator, records its process id and exit status, and kills
  // it should the test process go first (its lifeline connection then ends).
  const std::string script = Concat("cd ", ShellWord(folder), " || exit 1\n",
                                    "exec </dev/null >script.log 2>&1\n",
                                    "exec 3<>/dev/tcp/127.0.0.1/", std::to_string(LifelinePort()), " || exit 1\n",
                                    command, " >out 2>err 3<&- &\n",
                                    "sim=$!\n",
                                    "echo $sim >pid.tmp; mv pid.tmp pid\n",
                                    "( read -r -u 3 _; kill -KILL $sim ) &\n",
                                    "lifeline=$!\n",
                                    "exec 3<&-\n",
                                    "wait $sim\n",
                                    "echo $? >status.tmp; mv status.tmp status\n",
                                    "kill $lifeline\n");
  StartScript(fDirectory, script);
  std::string pid;
  if (!WaitForFile(Concat(fDirectory, "\\pid"), kStartSeconds, pid))
    throw std::runtime_error(Concat("lorvani-sim did not start: ", ReadWhole(Concat(fDirectory, "\\script.log"))));
  fPid = static_cast<pid_t>(std::stoll(pid));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  for (;;) {
    const std::string output = ReadWhole(Concat(fDirectory, "\\out"));
    const size_t end = output.find('\n');
    if (end != std::string::npos) {
      TakeBaseUrl(output.substr(0, end));
      return;
    }
    const bool ended = Exists(Concat(fDirectory, "\\status"));
    if (ended || std::chrono::steady_clock::now() > deadline) {
      Stop();
      throw std::runtime_error(ended ? Concat("lorvani-sim ended before printing its URL: ",
                                              ReadWhole(Concat(fDirectory, "\\err")))
                                     : std::string("lorvani-sim did not print its URL in time"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int LorvaniSim::Stop(int aSignal) {
  if (fPid <= 0) return -1;
  const std::string pid = std::to_string(fPid);
  fPid = -1;
  const std::string statusFile = Concat(fDirectory, "\\status");
  std::string status;
  if (!Exists(statusFile)) StartLinux("/bin/kill", Concat(aSignal == SIGINT ? "-INT " : "-TERM ", pid));
  if (WaitForFile(statusFile, kStopSeconds, status)) return ExitStatus(status);
  StartLinux("/bin/kill", Concat("-KILL ", pid));
  WaitForFile(statusFile, kStopSeconds, status);
  return -1;
}

int LorvaniSim::RunToEnd(const std::vector<std::string>& aArguments, std::string& aOutput) {
  std::string command = ShellWord(ProgramPath());
  for (const std::string& argument : aArguments) command.append(" ").append(ShellWord(argument));
  const std::string directory = MakeFolder();
  const std::string script = Concat("exec </dev/null >/dev/null 2>&1\n", "cd ", ShellWord(LinuxPath(directory)),
                                    " || exit 1\n", command, " >out\n", "echo $? >status.tmp; mv status.tmp status\n");
  StartScript(directory, script);
  std::string status;
  const bool ended = WaitForFile(Concat(directory, "\\status"), kStartSeconds, status);
  aOutput = ReadWhole(Concat(directory, "\\out"));
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return ended ? ExitStatus(status) : -1;
}

// The control channel checks no certificate: only the tests' own requests to the
// simulator go over it, and the verification under test is the driver's.
SimReply LorvaniSim::Send(const std::string& aMethod, const std::string& aPath, const std::string& aBody,
                          const HeaderList& aHeaders, int aReadTimeoutSeconds) const {
  SimReply reply;
  InternetHandle session(WinHttpOpen(L"zvtest", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.Handle) return reply;
  WinHttpSetTimeouts(session.Handle, 0, 30000, aReadTimeoutSeconds * 1000, aReadTimeoutSeconds * 1000);
  InternetHandle connection(WinHttpConnect(session.Handle, Wide(fHost).c_str(), static_cast<INTERNET_PORT>(fPort), 0));
  if (!connection.Handle) return reply;
  InternetHandle request(WinHttpOpenRequest(connection.Handle, Wide(aMethod).c_str(), Wide(aPath).c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request.Handle) return reply;
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
  WinHttpSetOption(request.Handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  std::wstring headers = L"Connection: close\r\n";
  for (const auto& [name, value] : aHeaders) headers.append(Wide(name)).append(L": ").append(Wide(value)).append(L"\r\n");
  void* body = aBody.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(aBody.data());
  const DWORD size = static_cast<DWORD>(aBody.size());
  if (!WinHttpSendRequest(request.Handle, headers.c_str(), static_cast<DWORD>(headers.size()), body, size, size, 0) ||
      !WinHttpReceiveResponse(request.Handle, nullptr))
    return reply;

  DWORD status = 0, statusSize = sizeof status;
  WinHttpQueryHeaders(request.Handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  DWORD rawSize = 0;
  WinHttpQueryHeaders(request.Handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &rawSize,
                      WINHTTP_NO_HEADER_INDEX);
  std::wstring raw(rawSize / sizeof(wchar_t) + 1, L'\0');
  if (WinHttpQueryHeaders(request.Handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, raw.data(),
                          &rawSize, WINHTTP_NO_HEADER_INDEX))
    raw.resize(rawSize / sizeof(wchar_t));
  std::string received;
  for (;;) {
    char buffer[16384];
    DWORD n = 0;
    if (!WinHttpReadData(request.Handle, buffer, sizeof buffer, &n)) return reply;
    if (n == 0) break;
    received.append(buffer, n);
  }
  // The header lines after the status line: "Name: value".
  std::istringstream lines(Narrow(raw));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t start = colon + 1;
    while (start < line.size() && line[start] == ' ') ++start;
    reply.Headers.emplace_back(line.substr(0, colon), line.substr(start));
  }
  reply.Answered = true;
  reply.Status = static_cast<int>(status);
  reply.Body = std::move(received);
  return reply;
}

}  // namespace zvtest
