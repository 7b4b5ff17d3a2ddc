// The simulator as a child process of the test (Linux), reached with cpp-httplib.

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "LorvaniSim.h"

extern char** environ;

namespace zvtest {

namespace {

constexpr int kStartSeconds = 60;  // certificate generation and start under a sanitizer
constexpr int kStopSeconds = 30;

// The first line the child writes, within the time limit.
std::string ReadFirstLine(int aDescriptor) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("lorvani-sim did not print its URL in time");
    pollfd entry{aDescriptor, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char c = 0;
    ssize_t got = read(aDescriptor, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::runtime_error("lorvani-sim ended before printing its URL");
    if (c == '\n') return line;
    line += c;
  }
}

// Starts aArguments[0] with aArguments as its argument list and its standard output
// on a pipe; the reading end of the pipe, or a failure naming the program. The child is
// ended when the thread that started it ends, so that a test process that crashes or
// aborts leaves no simulator behind (one would hold the test runner's output open).
int SpawnWithOutputPipe(std::vector<std::string> aArguments, pid_t& aPid) {
  std::vector<char*> argv;
  for (auto& argument : aArguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int output[2];
  int execFailure[2];  // closed by a successful exec; carries errno otherwise
  if (pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
  if (pipe2(execFailure, O_CLOEXEC) != 0) {
    close(output[0]);
    close(output[1]);
    throw std::runtime_error("cannot create a pipe");
  }
  const pid_t parent = getpid();
  aPid = fork();
  if (aPid == 0) {
    // Only calls that are safe between fork and exec in a threaded process.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == parent && dup2(output[1], STDOUT_FILENO) >= 0) execve(argv[0], argv.data(), environ);
    const int error = errno;
    (void)!write(execFailure[1], &error, sizeof error);
    _exit(127);
  }
  close(output[1]);
  close(execFailure[1]);
  int error = 0;
  const bool failed = aPid < 0 || read(execFailure[0], &error, sizeof error) > 0;
  close(execFailure[0]);
  if (failed) {
    close(output[0]);
    if (aPid > 0) waitpid(aPid, nullptr, 0);
    aPid = -1;
    throw std::runtime_error("cannot start " + aArguments[0]);
  }
  return output[0];
}

}  // namespace

LorvaniSim::LorvaniSim(std::vector<std::string> aArguments) {
  const std::string program = ProgramPath();
  std::string pattern = (std::filesystem::temp_directory_path() / "lorvani-sim-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  fDirectory = pattern;
  fCaFile = fDirectory + "/ca.pem";
  fVerify = std::find(aArguments.begin(), aArguments.end(), "--hostname-mismatch") == aArguments.end();

  std::vector<std::string> arguments{program, "--port", "0", "--ca-out", fCaFile, "--quiet"};
  arguments.insert(arguments.end(), aArguments.begin(), aArguments.end());
  const int output = SpawnWithOutputPipe(std::move(arguments), fPid);
  std::string line;
  try {
    line = ReadFirstLine(output);
  } catch (...) {
    close(output);
    Stop();
    throw;
  }
  close(output);  // nothing more comes on standard output
  TakeBaseUrl(line);
}

int LorvaniSim::Stop(int aSignal) {
  if (fPid <= 0) return -1;
  kill(fPid, aSignal);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStopSeconds);
  pid_t done = 0;
  while ((done = waitpid(fPid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == 0) {
    kill(fPid, SIGKILL);
    waitpid(fPid, &status, 0);
    fPid = -1;
    return -1;
  }
  fPid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int LorvaniSim::RunToEnd(const std::vector<std::string>& aArguments, std::string& aOutput) {
  std::vector<std::string> arguments{ProgramPath()};
  arguments.insert(arguments.end(), aArguments.begin(), aArguments.end());
  pid_t pid = -1;
  const int output = SpawnWithOutputPipe(std::move(arguments), pid);
  aOutput.clear();
  char buffer[4096];
  for (;;) {
    ssize_t got = read(output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    aOutput.append(buffer, static_cast<size_t>(got));
  }
  close(output);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SimReply LorvaniSim::Send(const std::string& aMethod, const std::string& aPath, const std::string& aBody,
                          const HeaderList& aHeaders, int aReadTimeoutSeconds) const {
  httplib::SSLClient client(fHost, fPort);
  client.set_ca_cert_path(fCaFile.c_str());
  client.enable_server_certificate_verification(fVerify);
  client.set_connection_timeout(30);
  client.set_read_timeout(aReadTimeoutSeconds);
  client.set_keep_alive(false);

  httplib::Request request;
  request.method = aMethod;
  request.path = aPath;
  request.body = aBody;
  for (const auto& [name, value] : aHeaders) request.headers.emplace(name, value);
  httplib::Response response;
  httplib::Error error = httplib::Error::Success;
  SimReply reply;
  if (!client.send(request, response, error) || error != httplib::Error::Success) return reply;
  reply.Answered = true;
  reply.Status = response.status;
  reply.Body = response.body;
  for (const auto& [name, value] : response.headers) reply.Headers.emplace_back(name, value);
  return reply;
}

}  // namespace zvtest
