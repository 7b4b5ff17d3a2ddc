// The please-wait window in the headless stand-in: texts by language, the extra line,
// the arithmetic that sizes the window and centres the label, showing and hiding.

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "CaseName.h"
#include "app/uZV_Base.h"
#include "platform/Gui.h"

using namespace zv;
using namespace zvtest;

namespace {

class Wait : public ::testing::Test {
 protected:
  void SetUp() override {
    // The window exists in the record only: its place is on the headless desktop.
    platform::SetRecordOnly(true);
    platform::ResetHeadlessRecord();
  }
  TempDir dir;
};

struct Layout {
  const char16_t* language;
  const char16_t* extra;
  const char16_t* caption;
  int labelWidth, labelHeight, clientWidth, labelLeft, labelTop;
};

// The language and the extra text: language_en_extra_x_CR_LF_y, or no_language.
std::string NameOf(const Layout& aCase) {
  const Text language = aCase.language, extra = aCase.extra;
  std::string name = language.empty() ? "no_language" : std::string("language_").append(zvtest::CaseName(language));
  if (!extra.empty()) name.append("_extra_").append(zvtest::CaseName(extra));
  return name;
}
void PrintTo(const Layout& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class WaitLayout : public Wait, public ::testing::WithParamInterface<Layout> {};

// Headless metric for a bold 10-point font: 7 pixels a character, 16 a line.
TEST_P(WaitLayout, SizesTheWindowToTheLabelAndCentresIt) {
  const Layout& c = GetParam();
  tZV_Application app(TestEnvironment(dir.Path()));
  GlobalApplication global(app);
  app.SetLanguage(c.language);
  app.Wait().Start(c.extra);
  const platform::PopupWindow& form = app.Wait().Form();
  const platform::Label& label = form.GetLabel();
  EXPECT_EQ(label.Caption(), Text(c.caption));
  EXPECT_EQ(label.Width(), c.labelWidth);
  EXPECT_EQ(label.Height(), c.labelHeight);
  EXPECT_EQ(form.ClientWidth(), c.clientWidth);
  EXPECT_EQ(form.ClientHeight(), 50);
  EXPECT_EQ(label.Left(), c.labelLeft);
  EXPECT_EQ(label.Top(), c.labelTop);
  EXPECT_TRUE(form.Visible());
  EXPECT_TRUE(app.Wait().Started());
  EXPECT_EQ(form.Left(), (platform::kDesktopWidth - c.clientWidth) / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitLayout,
    ::testing::Values(
        // 133 * 1.3 = 172.9 -> 172; (172 - 133) / 2 = 19; (50 - 16) / 2 = 17
        Layout{u"", u"", u"Attendere prego ...", 133, 16, 172, 19, 17},
        Layout{u"it", u"", u"Attendere prego ...", 133, 16, 172, 19, 17},
        // 105 * 1.3 = 136.5 -> 136; 31 / 2 = 15
        Layout{u"en", u"", u"Wait please ...", 105, 16, 136, 15, 17},
        Layout{u"EN", u"", u"Wait please ...", 105, 16, 136, 15, 17},
        // two lines: (50 - 32) / 2 = 9
        Layout{u"", u"abc", u"Attendere prego ...\r\nabc", 133, 32, 172, 19, 9},
        // the extra line is the wider: 24 * 7 = 168; 218.4 -> 218; 50 / 2 = 25
        Layout{u"En", u"a longer extra text here", u"Wait please ...\r\na longer extra text here", 168, 32, 218,
               25, 9},
        // three lines are taller than the window: (50 - 48) / 2 = 1
        Layout{u"en", u"x\r\ny", u"Wait please ...\r\nx\r\ny", 105, 48, 136, 15, 1}),
    zvtest::ByNameOf());

// Loading the library makes the application object: no window is made with it, nor for
// a message while none is showing; the first use makes it.
TEST_F(Wait, IsCreatedWhenFirstAskedFor) {
  tZV_Application app(TestEnvironment(dir.Path()));
  GlobalApplication global(app);
  EXPECT_EQ(app.CreatedWait(), nullptr);
  ShowAppMessage(0, u"note");
  EXPECT_EQ(app.CreatedWait(), nullptr);
  tZV_Wait& wait = app.Wait();
  EXPECT_EQ(app.CreatedWait(), &wait);
  EXPECT_EQ(&app.Wait(), &wait);
  EXPECT_FALSE(wait.Form().Visible());
}

TEST_F(Wait, IsCreatedHiddenWithItsLookAndAnEmptyTextWithoutAnApplicationObject) {
  tZV_Application app(TestEnvironment(dir.Path()));
  const platform::PopupWindow& form = app.Wait().Form();
  EXPECT_FALSE(form.Visible());
  EXPECT_FALSE(app.Wait().Started());
  EXPECT_EQ(form.Color(), (platform::Rgb{12, 25, 117}));
  EXPECT_TRUE(form.TopMost());
  EXPECT_TRUE(form.Borderless());
  EXPECT_EQ(form.ClientHeight(), 50);
  // No application object is published: no language, no text yet.
  EXPECT_EQ(form.GetLabel().Caption(), u"");
  EXPECT_EQ(form.ClientWidth(), 0);
  const platform::Font& font = form.GetLabel().GetFont();
  EXPECT_EQ(font.Color, (platform::Rgb{255, 255, 255}));
  EXPECT_EQ(font.Size, 10);
  EXPECT_TRUE(font.Bold);
  EXPECT_TRUE(form.GetLabel().Centred());
}

TEST_F(Wait, CreatedWhileAnApplicationExistsTakesItsLanguageText) {
  tZV_Application app(TestEnvironment(dir.Path()));
  GlobalApplication global(app);
  tZV_Wait wait;
  EXPECT_EQ(wait.Form().GetLabel().Caption(), u"Attendere prego ...");
  EXPECT_EQ(wait.Form().ClientWidth(), 172);
}

TEST_F(Wait, WithoutAnApplicationTheLabelKeepsItsText) {
  ASSERT_EQ(ApplicationObject, nullptr);
  tZV_Wait wait;
  wait.Start(u"abc");
  EXPECT_EQ(wait.Form().GetLabel().Caption(), u"\r\nabc");
  wait.Start(u"");
  EXPECT_EQ(wait.Form().GetLabel().Caption(), u"\r\nabc");
}

TEST_F(Wait, StartPaintsAtOnceStopHidesAndStartAgainRearranges) {
  tZV_Application app(TestEnvironment(dir.Path()));
  GlobalApplication global(app);
  app.Wait().Start(u"one");
  EXPECT_EQ(platform::HeadlessSnapshot().MessagePumps, 1);
  EXPECT_EQ(platform::HeadlessSnapshot().VisibleWindows, 1);
  app.Wait().Start(u"");
  EXPECT_TRUE(app.Wait().Started());
  EXPECT_EQ(app.Wait().Form().GetLabel().Caption(), u"Attendere prego ...");
  EXPECT_EQ(platform::HeadlessSnapshot().VisibleWindows, 1);
  app.Wait().Stop();
  EXPECT_FALSE(app.Wait().Started());
  EXPECT_FALSE(app.Wait().Form().Visible());
  EXPECT_EQ(platform::HeadlessSnapshot().VisibleWindows, 0);
}

TEST_F(Wait, ShowAppMessageHidesTheWindowAndShowsItAgainWithoutTheExtraText) {
  tZV_Application app(TestEnvironment(dir.Path()));
  GlobalApplication global(app);
  app.Wait().Start(u"working");
  ShowAppMessage(0, u"note");
  ASSERT_EQ(platform::HeadlessSnapshot().Dialogs.size(), 1u);
  EXPECT_TRUE(app.Wait().Started());
  EXPECT_TRUE(app.Wait().Form().Visible());
  EXPECT_EQ(app.Wait().Form().GetLabel().Caption(), u"Attendere prego ...");
  // A window that was not showing stays hidden.
  app.Wait().Stop();
  ShowAppMessage(0, u"again");
  EXPECT_FALSE(app.Wait().Started());
  EXPECT_FALSE(app.Wait().Form().Visible());
}

}  // namespace
