// The printing module loaded on first use: a library built as the driver is finds the
// module beside its own file, prints through it, and, where the module is missing or
// is not the printing module, says that printing is not available and why. The driver
// itself loads without the module.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "PrivateCups.h"
#include "TestText.h"
#include "ZVPA_LORVANI_10.h"

namespace {

namespace fs = std::filesystem;
using zvtest::CupsQueue;
using zvtest::PrivateCups;

const CupsQueue kRawQueue{"ZvRawQueue", true};
// A 3 x 1 grey picture.
const std::string kPng(
    "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x03\x00\x00\x00\x01\x08\x00\x00"
    "\x00\x00\x3E\x8B\x4B\x68\x00\x00\x00\x0C\x49\x44\x41\x54\x78\x9C\x63\x60\x68\xF8\x0F\x00\x02\x03\x01\x80\x24"
    "\x61\xF5\x97\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
    69);

// A folder of its own, removed afterwards.
class Folder {
 public:
  Folder() : fPath(fs::temp_directory_path() / ("zvprint_" + std::to_string(::getpid()) + "_" +
                                                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))) {
    fs::create_directories(fPath);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  const fs::path& Path() const { return fPath; }
  fs::path Copy(const std::string& aFrom, const std::string& aName) const {
    fs::copy_file(aFrom, fPath / aName);
    return fPath / aName;
  }

 private:
  fs::path fPath;
};

// The probe library loaded from a path: each path is a library of its own, with its
// own state, as two installed copies of the driver would be.
class Probe {
 public:
  explicit Probe(const fs::path& aPath) : fHandle(dlopen(aPath.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (fHandle == nullptr) throw std::runtime_error(dlerror());
  }
  ~Probe() { dlclose(fHandle); }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // The raw job's outcome: "" when sent, else the reason.
  std::string SendRaw(const std::string& aPrinter, const std::string& aText) const {
    using Call = int (*)(const char*, const char*, char*, size_t);
    char message[1024];
    const int sent = reinterpret_cast<Call>(dlsym(fHandle, "ZvProbeSendRaw"))(aPrinter.c_str(), aText.c_str(),
                                                                             message, sizeof message);
    return sent == 1 ? std::string() : std::string(message);
  }
  // The picture's width, or the reason it was not read.
  std::string Decode(const std::string& aBytes) const {
    using Call = int (*)(const char*, size_t, char*, size_t);
    char message[1024];
    const int width = reinterpret_cast<Call>(dlsym(fHandle, "ZvProbeDecodePicture"))(aBytes.data(), aBytes.size(),
                                                                                     message, sizeof message);
    return width >= 0 ? std::to_string(width) : std::string(message);
  }

 private:
  void* fHandle;
};

// The module is looked for beside the library's file only when ZV_PRINT_MODULE names
// none; the variable is restored afterwards.
class PrintModule : public testing::Test {
 protected:
  void SetUp() override {
    const char* chosen = std::getenv("ZV_PRINT_MODULE");
    fHadChosen = chosen != nullptr;
    if (fHadChosen) fChosen = chosen;
    unsetenv("ZV_PRINT_MODULE");
  }
  void TearDown() override {
    if (fHadChosen) setenv("ZV_PRINT_MODULE", fChosen.c_str(), 1);
  }

  Folder fFolder;
  bool fHadChosen = false;
  std::string fChosen;
};

TEST_F(PrintModule, ALibraryWithoutTheModuleBesideItSaysPrintingIsNotAvailable) {
  const Probe probe(fFolder.Copy(ZV_PRINT_PROBE_PATH, "probe.so"));
  const std::string expected = zvtest::Concat(std::string("Printing is not available: "), fFolder.Path().string(),
                                              std::string("/ZVPA_LORVANI_10_print.so: cannot open shared object file: "
                                                          "No such file or directory"));
  EXPECT_EQ(probe.SendRaw("AnyPrinter", "text"), expected);
  EXPECT_EQ(probe.Decode(kPng), expected);
  // Only the module's part is missing: a BMP picture is read without it.
  EXPECT_EQ(probe.Decode(std::string("BM\x3A\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x01\0\0\0\x01\0\0\0\x01\0\x18\0\0\0\0\0"
                                     "\x04\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\xFF\0",
                                     58)),
            "1");
}

TEST_F(PrintModule, AFileInTheModulesPlaceThatIsNotTheModuleIsRefusedWithTheReason) {
  struct Case {
    std::string Name;
    std::string Source;  // the file put in the module's place; empty: a text file
    std::string Reason;  // what follows the module's path
  } cases[] = {
      {"another library", ZV_PRINT_PROBE_PATH, " is not the printing module of this driver"},
      {"no library at all", "", ": invalid ELF header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Folder folder;
    const fs::path module = folder.Path() / "ZVPA_LORVANI_10_print.so";
    if (c.Source.empty())
      std::ofstream(module) << std::string(256, '#');
    else
      folder.Copy(c.Source, "ZVPA_LORVANI_10_print.so");
    const Probe probe(folder.Copy(ZV_PRINT_PROBE_PATH, "probe.so"));
    EXPECT_EQ(probe.SendRaw("AnyPrinter", "text"), "Printing is not available: " + module.string() + c.Reason);
  }
}

TEST_F(PrintModule, ALibraryWithTheModuleBesideItPrintsAndReadsPictures) {
  const PrivateCups cups({kRawQueue});
  fFolder.Copy(ZV_PRINT_MODULE_PATH, "ZVPA_LORVANI_10_print.so");
  const Probe probe(fFolder.Copy(ZV_PRINT_PROBE_PATH, "probe.so"));
  EXPECT_EQ(probe.Decode(kPng), "3");
  ASSERT_EQ(probe.SendRaw(kRawQueue.Name, "receipt\r\n"), "");
  ASSERT_TRUE(cups.WaitForJobs(kRawQueue.Name, 1)) << cups.ErrorLog();
  EXPECT_EQ(cups.Jobs(kRawQueue.Name), std::vector<std::string>{"receipt\r\n"});
  // The printer's absence is the spooler's answer, through the module.
  EXPECT_EQ(probe.SendRaw("NoSuchPrinter", "x"), "The printer name is invalid.");
}

// The driver alone in a folder loads and answers; it needs the module only to print.
TEST_F(PrintModule, TheDriverLoadsAndAnswersWithoutTheModule) {
  const fs::path driver = fFolder.Copy(ZV_LIBRARY_PATH, "ZVPA_LORVANI_10.so");
  void* handle = dlopen(driver.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  using Command = int (*)(BSTR, BSTR*, BSTR*);
  using Alloc = BSTR (*)(const OLECHAR*);
  using Free = void (*)(BSTR);
  const auto version = reinterpret_cast<Command>(dlsym(handle, "VERSION"));
  const auto alloc = reinterpret_cast<Alloc>(dlsym(handle, "SysAllocString"));
  const auto release = reinterpret_cast<Free>(dlsym(handle, "SysFreeString"));
  ASSERT_TRUE(version && alloc && release);
  BSTR request = alloc(u"ZVPA_LORVANI_10");
  BSTR response = nullptr, error = nullptr;
  EXPECT_EQ(version(request, &response, &error), 0);
  EXPECT_NE(response, nullptr);
  release(response);
  release(error);
  release(request);
  dlclose(handle);
}

}  // namespace
