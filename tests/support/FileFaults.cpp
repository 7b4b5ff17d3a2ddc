#include "FileFaults.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>

namespace zvtest {

namespace fs = std::filesystem;

namespace {

void WriteAll(int aFd, const std::string& aText) {
  for (size_t done = 0; done < aText.size();) {
    const ssize_t n = write(aFd, aText.data() + done, aText.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string ReadAll(int aFd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(aFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// Sets or clears the immutable attribute; errno tells why when it fails.
bool SetImmutable(const fs::path& aPath, bool aOn) {
  const int fd = open(aPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = aOn ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

}  // namespace

ChildRun RunInChild(const std::function<std::string()>& aBody, std::chrono::seconds aKillAfter) {
  ChildRun run;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    run.Report = std::string("pipe: ") + std::strerror(errno);
    return run;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    run.Report = std::string("fork: ") + std::strerror(errno);
    close(pipeFds[0]);
    close(pipeFds[1]);
    return run;
  }
  if (pid == 0) {
    close(pipeFds[0]);
    int status = 0;
    std::string report;
    try {
      report = aBody();
    } catch (const std::exception& e) {
      report = std::string("exception: ") + e.what();
      status = 2;
    } catch (...) {
      report = "unknown exception";
      status = 2;
    }
    WriteAll(pipeFds[1], report);
    // No exit handlers: they belong to the test program.
    _exit(status);
  }
  close(pipeFds[1]);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + aKillAfter;
  pid_t ended;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    run.Report = "killed after " + std::to_string(aKillAfter.count()) + " s";
    close(pipeFds[0]);
    return run;
  }
  run.Report = ReadAll(pipeFds[0]);
  close(pipeFds[0]);
  run.Exited = WIFEXITED(status);
  run.Status = run.Exited ? WEXITSTATUS(status) : -1;
  if (WIFSIGNALED(status)) run.Report += " (ended by signal " + std::to_string(WTERMSIG(status)) + ")";
  return run;
}

void LimitFileSize(uint64_t aBytes) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(aBytes);
  setrlimit(RLIMIT_FSIZE, &limit);
}

ReadOnlyPath::ReadOnlyPath(fs::path aPath) : fPath(std::move(aPath)) {
  std::error_code ignored;
  fs::permissions(fPath, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove, ignored);
  if (geteuid() == 0) {
    fImmutable = SetImmutable(fPath, true);
    if (!fImmutable) {
      fFailure = std::string("the immutable attribute cannot be set here: ") + std::strerror(errno);
      return;
    }
  }
  // Prove it: a folder must refuse a new file, a file must refuse opening for writing.
  const bool folder = fs::is_directory(fPath);
  const fs::path probe = folder ? fPath / "probe" : fPath;
  const int fd = open(probe.c_str(), folder ? (O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC) : (O_WRONLY | O_CLOEXEC), 0666);
  if (fd >= 0) {
    close(fd);
    if (folder) unlink(probe.c_str());
    fFailure = "writes to " + fPath.string() + " are still allowed";
  }
}

ReadOnlyPath::~ReadOnlyPath() {
  if (fImmutable) SetImmutable(fPath, false);
  std::error_code ignored;
  fs::permissions(fPath, fs::perms::owner_write, fs::perm_options::add, ignored);
}

}  // namespace zvtest
