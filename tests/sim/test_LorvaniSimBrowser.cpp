// The simulator's journal page as a real browser shows it: headless Chromium takes a
// screenshot and dumps the DOM of a page with two orders.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LorvaniSim.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;
using zvtest::HeaderList;
using zvtest::LorvaniSim;

constexpr int kBrowserSeconds = 90;  // a generous bound; a run takes a few seconds
constexpr int kWidth = 1000;
constexpr int kHeight = 700;

std::optional<std::string> FindChromium() {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/chromium";
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::string ReadAll(const std::string& aPath) {
  std::ifstream file(aPath, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// One headless Chromium run in a process group of its own, with a fresh profile. The
// whole group is killed when the run ends, fails, or takes too long.
class BrowserRun {
 public:
  BrowserRun(const std::string& aProgram, const std::string& aDirectory, const std::string& aName,
             std::vector<std::string> aArguments)
      : fOutput(aDirectory + "/" + aName + ".out"), fErrors(aDirectory + "/" + aName + ".err") {
    const std::string profile = aDirectory + "/" + aName + "-profile";
    std::filesystem::create_directories(profile);
    std::vector<std::string> arguments{aProgram,
                                       "--headless",
                                       "--no-sandbox",
                                       "--disable-gpu",
                                       "--disable-quic",
                                       "--no-first-run",
                                       "--disable-background-networking",
                                       "--disable-component-update",
                                       "--disable-sync",
                                       "--user-data-dir=" + profile,
                                       "--ignore-certificate-errors"};
    arguments.insert(arguments.end(), aArguments.begin(), aArguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, fOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, fErrors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&fPid, aProgram.c_str(), &actions, &attributes, argv.data(), environ) != 0) fPid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~BrowserRun() { Finish(); }
  BrowserRun(const BrowserRun&) = delete;
  BrowserRun& operator=(const BrowserRun&) = delete;

  // Waits for the browser to exit (killing it after the time limit); its exit status,
  // or -1 when it did not start, was killed or crashed.
  int Finish() {
    if (fPid <= 0) return fStatus;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBrowserSeconds);
    // Waited for without reaping, so that the group's id cannot be reused before the kill.
    siginfo_t exited{};
    bool done = false;
    while (!(done = waitid(P_PID, static_cast<id_t>(fPid), &exited, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                    exited.si_pid == fPid) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-fPid, SIGKILL);  // the helper processes too, and the browser itself if late
    int status = 0;
    while (waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
    }
    fStatus = done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    fPid = -1;
    return fStatus;
  }
  std::string Output() const { return ReadAll(fOutput); }
  std::string Errors() const { return ReadAll(fErrors); }

 private:
  std::string fOutput;
  std::string fErrors;
  pid_t fPid = -1;
  int fStatus = -1;
};

struct Image {
  int Width = 0;
  int Height = 0;
  std::vector<unsigned char> Rgb;  // 3 bytes a pixel, row after row

  bool Is(int aX, int aY, unsigned aColour) const {
    const unsigned char* p = &Rgb[3 * (static_cast<size_t>(aY) * Width + aX)];
    auto near = [](int a, int b) { return std::abs(a - b) <= 3; };
    return near(p[0], aColour >> 16 & 0xFF) && near(p[1], aColour >> 8 & 0xFF) && near(p[2], aColour & 0xFF);
  }
};

std::optional<Image> ReadPng(const std::string& aPath) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, aPath.c_str())) return std::nullopt;
  png.format = PNG_FORMAT_RGB;
  Image image;
  image.Width = static_cast<int>(png.width);
  image.Height = static_cast<int>(png.height);
  image.Rgb.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, image.Rgb.data(), 0, nullptr)) {
    png_image_free(&png);
    return std::nullopt;
  }
  return image;
}

// The page's colours: table header band, odd and even rows.
constexpr unsigned kHeaderColour = 0x1F4E79;
constexpr unsigned kOddColour = 0xDCEAF7;
constexpr unsigned kEvenColour = 0xFFF2CC;

// A horizontal band of pixel rows that are mostly of one colour.
struct Band {
  char Kind;  // 'H' header, 'O' odd row, 'E' even row, '-' anything else
  int Top;
  int Height;
  int Left;   // the band's leftmost and rightmost pixel of its colour
  int Right;
};

std::vector<Band> Bands(const Image& aImage) {
  std::vector<Band> bands;
  for (int y = 0; y < aImage.Height; ++y) {
    char kind = '-';
    int left = -1;
    int right = -1;
    for (const auto& [colour, name] : {std::pair{kHeaderColour, 'H'}, {kOddColour, 'O'}, {kEvenColour, 'E'}}) {
      int count = 0;
      for (int x = 0; x < aImage.Width; ++x) {
        if (aImage.Is(x, y, colour)) {
          ++count;
          if (left < 0) left = x;
          right = x;
        }
      }
      if (count >= aImage.Width / 4) {  // text covers the rest of a row at most
        kind = name;
        break;
      }
      left = right = -1;
    }
    if (!bands.empty() && bands.back().Kind == kind) {
      ++bands.back().Height;
      if (left >= 0) {
        bands.back().Left = std::min(bands.back().Left, left);
        bands.back().Right = std::max(bands.back().Right, right);
      }
    } else {
      bands.push_back(Band{kind, y, 1, left, right});
    }
  }
  return bands;
}

std::string Kinds(const std::vector<Band>& aBands) {
  std::string kinds;
  for (const auto& band : aBands) kinds += band.Kind;
  return kinds;
}

// The text of each row of the table with aId in the dumped DOM: cells joined with |.
std::vector<std::string> TableRows(const std::string& aDom, const std::string& aId) {
  std::vector<std::string> rows;
  const size_t start = aDom.find("<table id=\"" + aId + "\"");
  if (start == std::string::npos) return rows;
  const size_t body = aDom.find("<tbody>", start);
  const size_t end = aDom.find("</tbody>", start);
  if (body == std::string::npos || end == std::string::npos) return rows;
  const std::string table = aDom.substr(body, end - body);
  static const std::regex kRow(R"(<tr>([\s\S]*?)</tr>)");
  static const std::regex kCell(R"(<td[^>]*>([\s\S]*?)</td>)");
  for (std::sregex_iterator row(table.begin(), table.end(), kRow), last; row != last; ++row) {
    const std::string cells = (*row)[1];
    std::string text;
    for (std::sregex_iterator cell(cells.begin(), cells.end(), kCell); cell != last; ++cell) {
      if (!text.empty()) text += "|";
      text += (*cell)[1];
    }
    rows.push_back(text);
  }
  return rows;
}

class SimBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium = FindChromium();
    if (!chromium) GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it): journal page not "
                                   "checked in a browser";
    directory = ::testing::TempDir() + "lorvani-browser-" + std::to_string(getpid());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
  }
  void TearDown() override {
    if (!directory.empty()) std::filesystem::remove_all(directory);
  }

  std::optional<std::string> chromium;
  std::string directory;
};

std::string OrderBody(const std::string& aAmount, const std::string& aRequestId, const std::string& aReference) {
  return R"({"totalAmount":{"amount":")" + aAmount + R"(","currency":"EUR"},"preApprovalCode":"PRE-1","requestId":")" +
         aRequestId + R"(","merchantOperatorId":"op","merchantReference":")" + aReference + R"("})";
}

TEST_F(SimBrowser, JournalPageShowsTwoOrdersInItsTable) {
  LorvaniSim sim;
  const HeaderList headers{{"Authorization", "Bearer demo-token"}, {"Content-Type", "application/json"}};
  std::vector<std::string> tokens;
  for (const auto& [amount, id, reference] :
       {std::tuple{"12.5", "B-1", "<b>bold</b>"}, std::tuple{"7", "B-2", "R&D"}}) {
    auto reply = sim.Send("POST", "/v1/instore/orders", OrderBody(amount, id, reference), headers);
    ASSERT_EQ(reply.Status, 201) << reply.Body;
    std::smatch token;
    ASSERT_TRUE(std::regex_search(reply.Body, token, std::regex(R"re("token":"(ord_[0-9a-f]+)")re"))) << reply.Body;
    tokens.push_back(token[1]);
  }
  sim.Send("POST", "/v1/instore/orders", "{}", headers);  // a failure, listed below the orders

  // Both views at once: the two runs take about as long as one.
  const std::string url = sim.Origin() + "/";
  const std::string screenshot = directory + "/page.png";
  BrowserRun shot(*chromium, directory, "shot",
                  {"--screenshot=" + screenshot,
                   "--window-size=" + std::to_string(kWidth) + "," + std::to_string(kHeight), url});
  BrowserRun dump(*chromium, directory, "dom", {"--dump-dom", url});
  ASSERT_EQ(shot.Finish(), 0) << shot.Errors();
  ASSERT_EQ(dump.Finish(), 0) << dump.Errors();

  // The DOM: each order's row with its values, the escaped ones as text.
  const std::string dom = dump.Output();
  const std::vector<std::string> rows = TableRows(dom, "orders");
  ASSERT_EQ(rows.size(), 2u) << dom;
  const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
  EXPECT_TRUE(std::regex_match(rows[0], std::regex(stamp + "\\|" + tokens[0] +
                                                   R"(\|B-1\|PRE-1\|op\|&lt;b&gt;bold&lt;/b&gt;\|12\.5 EUR\|0 EUR)")))
      << rows[0];
  EXPECT_TRUE(std::regex_match(rows[1], std::regex(stamp + "\\|" + tokens[1] + R"(\|B-2\|PRE-1\|op\|R&amp;D\|7 EUR\|0 EUR)")))
      << rows[1];
  EXPECT_EQ(dom.find("<b>"), std::string::npos);
  const std::vector<std::string> failures = TableRows(dom, "failures");
  ASSERT_EQ(failures.size(), 1u) << dom;
  EXPECT_THAT(failures[0], HasSubstr("|POST /v1/instore/orders|400|totalAmount is required"));
  EXPECT_EQ(TableRows(dom, "refunds"), std::vector<std::string>{"No refunds yet"});

  // The screenshot: the orders table is the first header band, followed at once by
  // one odd and one even row of the same height, spanning the page's width.
  std::optional<Image> image = ReadPng(screenshot);
  ASSERT_TRUE(image) << "no readable PNG at " << screenshot;
  EXPECT_EQ(image->Width, kWidth);
  EXPECT_EQ(image->Height, kHeight);
  const std::vector<Band> bands = Bands(*image);
  const std::string kinds = Kinds(bands);
  const size_t header = kinds.find('H');
  ASSERT_NE(header, std::string::npos) << kinds;
  ASSERT_GE(kinds.size(), header + 4) << kinds;
  EXPECT_EQ(kinds.substr(header, 4), "HOE-") << kinds;
  const Band& head = bands[header];
  const Band& odd = bands[header + 1];
  const Band& even = bands[header + 2];
  EXPECT_LT(head.Top, kHeight / 3);
  EXPECT_GE(head.Height, 16);
  EXPECT_GE(odd.Height, 16);
  EXPECT_LE(std::abs(odd.Height - even.Height), 1);
  for (const Band* band : {&head, &odd, &even}) {
    EXPECT_LT(band->Left, 40);
    EXPECT_GT(band->Right, kWidth - 40);
  }
  // Only the second order is an even row: the failures table has one row, the refunds none.
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 'E'), 1) << kinds;
}

}  // namespace
