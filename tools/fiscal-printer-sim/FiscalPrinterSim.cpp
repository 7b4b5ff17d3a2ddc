// A simulated fiscal printer behind the OPOS FiscalPrinter plug-in table.
//
// The printer follows the fiscal printer states of UnifiedPOS (monitor, fiscal receipt,
// receipt total, receipt ending, non-fiscal, training mode) and the OPOS rules of
// open, claim, enable and close. It keeps running totals, a date of its own, fiscal
// memory and paper counters, and appends every printed line to a plain-text journal.
//
// Environment (read when a control object is made):
//   FPSIM_JOURNAL       the journal file; also the printer's identity: controls with
//                       the same journal share one printer
//   FPSIM_CONTROL       a control file read before every call (faults, cover, paper)
//   FPSIM_DEVICE_NAME   the logical device name Open accepts (default FiscalPrinterSim)
//   FPSIM_PAPER_LINES   receipt paper of a new printer in lines (default 10000)
//   FPSIM_FISCAL_MEMORY Z reports the fiscal memory of a new printer holds (default 1800)
//   FPSIM_CALLS         the call record: every call of a table member is appended as one
//                       line, the member's name and the arguments it received
// A control that cannot be used (read when the table is asked for or a control made):
//   FPSIM_NO_TABLE, FPSIM_NO_CONTROL      when set, the entry point gives no table, or
//                                         Create makes no control object
//   FPSIM_TABLE_VERSION, FPSIM_TABLE_SIZE the version and size the table claims
//   FPSIM_TABLE_OMIT                      a member the table leaves empty
//   FPSIM_TABLE_REWRITE                   when set, the entry point rewrites one table
//                                         in place (a plug-in that changes its table)
//
// Control file lines ("#" starts a comment):
//   fail <Member> <code> <extended> [error string]   the next call of the table member
//                                                    fails so (the line is then removed)
//   date <text>                                      the next GetDate answers this text
//   cover open | cover closed
//   enable stuck | enable normal                   stuck: DeviceEnabled writes are
//                                                    refused (the property keeps its value)
//   paper normal | paper near-end | paper empty

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ZvOposFiscalPrinter.h"
#include "base/Text.h"

namespace {

using zv::FromUtf8;
using zv::ToUtf8;

// OPOS result codes and the extended codes of the fiscal printer.
constexpr int32_t kSuccess = 0, kClosed = 101, kNotClaimed = 103, kDisabled = 105, kIllegal = 106,
                  kNoExist = 109, kTimeout = 112, kExtended = 114;
constexpr int32_t kCoverOpen = 201, kRecEmpty = 203, kWrongState = 207, kFiscalMemoryFull = 210,
                  kBadItemQuantity = 213, kBadItemAmount = 214, kBadDate = 219, kNegativeTotal = 220,
                  kDayEndRequired = 224;
// PrinterState values.
enum State : int32_t { Monitor = 1, FiscalReceipt = 2, FiscalReceiptTotal = 3, FiscalReceiptEnding = 4,
                       NonFiscal = 9 };
// Adjustment types.
constexpr int32_t kAmountDiscount = 1, kAmountSurcharge = 2, kPercentageDiscount = 3, kPercentageSurcharge = 4;
constexpr int32_t kReceiptStation = 2;
constexpr int64_t kScale = 10000;
constexpr size_t kWidth = 40;
constexpr int32_t kNearEndLines = 100;

std::string Env(const char* aName, const char* aDefault = "") {
  const char* value = std::getenv(aName);
  return value ? value : aDefault;
}

int64_t EnvNumber(const char* aName, int64_t aDefault) {
  const std::string value = Env(aName);
  if (value.empty()) return aDefault;
  char* end = nullptr;
  const long long n = std::strtoll(value.c_str(), &end, 10);
  return end && *end == '\0' ? n : aDefault;
}

std::string Utf8(const ZvOposChar* aText, int32_t aLength) {
  if (aText == nullptr || aLength <= 0) return {};
  return ToUtf8(zv::TextView(reinterpret_cast<const char16_t*>(aText), static_cast<size_t>(aLength)));
}

void Give(ZvOposTextSink aSink, void* aContext, const std::string& aText) {
  if (aSink == nullptr) return;
  const zv::Text text = FromUtf8(aText);
  aSink(aContext, reinterpret_cast<const ZvOposChar*>(text.data()), static_cast<int32_t>(text.size()));
}

// An amount as the printer shows it: at least two decimals (12.50, 0.125, -3.00).
std::string Amount(int64_t aScaled) {
  const bool negative = aScaled < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(aScaled) : static_cast<uint64_t>(aScaled);
  std::string fraction = std::to_string(magnitude % kScale);
  fraction.insert(0, 4 - fraction.size(), '0');
  while (fraction.size() > 2 && fraction.back() == '0') fraction.pop_back();
  return (negative ? "-" : "") + std::to_string(magnitude / kScale) + "." + fraction;
}

std::string Thousandths(int32_t aQuantity) {
  std::string text = Amount(static_cast<int64_t>(aQuantity) * 10);
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

// A line of the printout: aLeft, blanks, aRight at the right edge.
std::string Row(const std::string& aLeft, const std::string& aRight) {
  const size_t left = FromUtf8(aLeft).size(), right = FromUtf8(aRight).size();
  return aLeft + std::string(left + right < kWidth ? kWidth - left - right : 1, ' ') + aRight;
}

struct Fault {
  int32_t Code = 0, Extended = 0;
  std::string Text;
  bool Reply = false;  // a success answering Text (the date line)
};

// The printer: shared by every control object of one journal.
struct Printer {
  std::mutex Lock;
  std::condition_variable Released;
  const void* ClaimedBy = nullptr;
  State PrinterState = Monitor;
  bool Training = false;
  bool DayOpened = false;
  int64_t ReceiptTotal = 0, Paid = 0, LastItem = 0, DailyTotal = 0, GrandTotal = 0;
  int32_t ItemCount = 0;
  int32_t ReceiptNumber = 0, ZReportNumber = 0, DailyReceipts = 0;
  int32_t FiscalMemory = 0;
  int64_t PaperLines = 0;
  int64_t DateOffset = 0;  // seconds between the printer's clock and the system's
  int32_t FiscalReceiptType = 4;
  std::string AdditionalTrailer, PreLine;
  std::string Journal;

  std::time_t Clock() const { return std::time(nullptr) + DateOffset; }
  std::string Stamp(const char* aFormat) const {
    const std::time_t t = Clock();
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, aFormat, &local);
    return buffer;
  }
  void Print(const std::string& aLine) {
    if (PaperLines > 0) --PaperLines;
    if (Journal.empty()) return;
    std::ofstream out(Journal, std::ios::app | std::ios::binary);
    out << aLine << '\n';
  }
  void ClearReceipt() {
    ReceiptTotal = Paid = LastItem = 0;
    ItemCount = 0;
  }
};

std::mutex gPrintersLock;
std::map<std::string, std::shared_ptr<Printer>> gPrinters;

std::shared_ptr<Printer> PrinterOf(const std::string& aJournal) {
  std::lock_guard<std::mutex> hold(gPrintersLock);
  std::shared_ptr<Printer>& printer = gPrinters[aJournal];
  if (!printer) {
    printer = std::make_shared<Printer>();
    printer->Journal = aJournal;
    printer->PaperLines = EnvNumber("FPSIM_PAPER_LINES", 10000);
    printer->FiscalMemory = static_cast<int32_t>(EnvNumber("FPSIM_FISCAL_MEMORY", 1800));
  }
  return printer;
}

}  // namespace

namespace {

// A call of a table member as the call record shows it: the name, then each argument
// after a space, numbers in decimal and texts in single quotes with CR, LF and
// backslash escaped (\r, \n, \\).
struct Member {
  Member(const char* aName, std::string aArgs = {}) : Name(aName), Args(std::move(aArgs)) {}
  const char* Name;
  std::string Args;
};

struct TextArg {
  const ZvOposChar* Units;
  int32_t Length;
};
TextArg T(const ZvOposChar* aUnits, int32_t aLength) { return {aUnits, aLength}; }

std::string Arg(int64_t aNumber) {
  std::string text(1, ' ');
  text.append(std::to_string(aNumber));
  return text;
}
std::string Arg(TextArg aText) {
  std::string quoted(" '");
  for (char ch : Utf8(aText.Units, aText.Length)) {
    if (ch == '\r') quoted.append("\\r");
    else if (ch == '\n') quoted.append("\\n");
    else if (ch == '\\') quoted.append("\\\\");
    else quoted.push_back(ch);
  }
  quoted.push_back('\'');
  return quoted;
}
template <typename... A>
std::string Args(const A&... aArgs) {
  std::string all;
  (all.append(Arg(aArgs)), ...);
  return all;
}

}  // namespace

// One control object: its OPOS state towards the shared printer, and its last result.
struct ZvOposControl {
  std::shared_ptr<Printer> P = PrinterOf(Env("FPSIM_JOURNAL"));
  std::string ControlFile = Env("FPSIM_CONTROL");
  std::string DeviceName = Env("FPSIM_DEVICE_NAME", "FiscalPrinterSim");
  std::string CallsFile = Env("FPSIM_CALLS");
  bool Opened = false, Claimed = false, Enabled = false;
  bool CoverOpen = false, EnableStuck = false;
  std::string Paper = "normal";
  int32_t ResultCodeExtended = 0;
  std::string ErrorString;
  std::optional<std::string> Reply;  // the answer of the control file for this call

  // Reads the control file: cover and paper settings, and the fault waiting for
  // aMember, which is taken out of the file.
  std::optional<Fault> ReadControl(const char* aMember) {
    if (ControlFile.empty()) return std::nullopt;
    std::ifstream in(ControlFile);
    if (!in) return std::nullopt;
    std::vector<std::string> kept;
    std::optional<Fault> fault;
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string word;
      words >> word;
      if (word == "cover") {
        words >> word;
        CoverOpen = word == "open";
      } else if (word == "enable") {
        words >> word;
        EnableStuck = word == "stuck";
      } else if (word == "paper") {
        words >> Paper;
      } else if (word == "fail" && !fault) {
        std::string member;
        Fault f;
        words >> member >> f.Code >> f.Extended;
        if (member == aMember) {
          std::getline(words >> std::ws, f.Text);
          fault = f;
          continue;  // used up
        }
      } else if (word == "date" && !fault && std::string(aMember) == "GetDate") {
        Fault f;
        f.Reply = true;
        std::getline(words >> std::ws, f.Text);
        fault = f;
        continue;
      }
      kept.push_back(line);
    }
    in.close();
    if (fault) {
      std::ofstream out(ControlFile, std::ios::trunc);
      for (const std::string& line : kept) out << line << '\n';
    }
    return fault;
  }

  // Appends the call to the call record: what the control received, in order.
  void Record(const Member& aMember) const {
    if (CallsFile.empty()) return;
    std::ofstream out(CallsFile, std::ios::app | std::ios::binary);
    out << aMember.Name << aMember.Args << '\n';
  }

  int32_t Result(int32_t aCode, int32_t aExtended = 0, const std::string& aText = {}) {
    ResultCodeExtended = aCode == kExtended ? aExtended : 0;
    ErrorString = aText;
    return aCode;
  }
  int32_t Ok() { return Result(kSuccess); }
  int32_t WrongState(const char* aMember) {
    return Result(kExtended, kWrongState, std::string(aMember) + " is not allowed in printer state " +
                                              std::to_string(P->PrinterState));
  }
  bool RecEmpty() const { return Paper == "empty" || P->PaperLines <= 0; }
  bool RecNearEnd() const { return Paper == "near-end" || (Paper != "empty" && P->PaperLines <= kNearEndLines); }

  // The checks of every method after Open: claimed and enabled; with aPrints also a
  // closed cover and paper.
  std::optional<int32_t> Ready(bool aPrints) {
    if (!Opened) return Result(kClosed, 0, "The control is not open");
    if (!Claimed) return Result(kNotClaimed, 0, "The device is not claimed");
    if (!Enabled) return Result(kDisabled, 0, "The device is not enabled");
    if (aPrints && CoverOpen) return Result(kExtended, kCoverOpen, "The printer cover is open");
    if (aPrints && RecEmpty()) return Result(kExtended, kRecEmpty, "The receipt paper is out");
    return std::nullopt;
  }
};

namespace {

// Runs one member: the control file first (a fault waiting for it answers instead),
// then the member under the printer's lock.
template <typename Body>
int32_t Call(ZvOposControl* c, const Member& aMember, Body aBody) {
  if (c == nullptr) return kIllegal;
  std::unique_lock<std::mutex> hold(c->P->Lock);
  c->Record(aMember);
  c->Reply.reset();
  std::optional<Fault> fault = c->ReadControl(aMember.Name);
  if (fault && !fault->Reply) {
    // A fault answers exactly the codes it names, an extended code beside any code too.
    c->Result(fault->Code, 0, fault->Text);
    c->ResultCodeExtended = fault->Extended;
    return fault->Code;
  }
  if (fault) c->Reply = fault->Text;
  return aBody(*c, *c->P, hold);
}

template <typename Body>
int32_t Method(ZvOposControl* c, const Member& aMember, bool aPrints, Body aBody) {
  return Call(c, aMember, [&](ZvOposControl& ctl, Printer& p, std::unique_lock<std::mutex>&) -> int32_t {
    if (std::optional<int32_t> refused = ctl.Ready(aPrints)) return *refused;
    return aBody(ctl, p);
  });
}

// A property access: a fault waiting for it makes the control fail (the COM control
// would raise).
template <typename Body>
int32_t Property(ZvOposControl* c, const Member& aMember, Body aBody) {
  if (c == nullptr) return kIllegal;
  std::lock_guard<std::mutex> hold(c->P->Lock);
  c->Record(aMember);
  if (std::optional<Fault> fault = c->ReadControl(aMember.Name)) {
    c->ErrorString = fault->Text;
    return fault->Code != 0 ? fault->Code : kIllegal;
  }
  aBody(*c, *c->P);
  return 0;
}

bool InReceipt(State s) { return s == FiscalReceipt || s == FiscalReceiptTotal || s == FiscalReceiptEnding; }

void PrintWrapped(Printer& p, const std::string& aText) {
  std::istringstream lines(aText);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    p.Print(line);
  }
}

// The item line and the amount it adds: the price, or quantity times unit price when
// the price is 0.
int32_t Item(ZvOposControl& c, Printer& p, const char* aMember, bool aVoid, const std::string& aDescription,
             int64_t aPrice, int32_t aQuantity, int32_t aVat, int64_t aUnitPrice, const std::string& aUnit) {
  if (p.PrinterState != FiscalReceipt) return c.WrongState(aMember);
  if (aQuantity <= 0)
    return c.Result(kExtended, kBadItemQuantity, "The quantity " + Thousandths(aQuantity) + " is not greater than 0");
  const int64_t amount = aPrice != 0 ? aPrice : aUnitPrice * aQuantity / 1000;
  if (amount < 0) return c.Result(kExtended, kBadItemAmount, "The amount must not be negative");
  if (!p.PreLine.empty()) p.Print(std::exchange(p.PreLine, {}));
  if (aQuantity != 1000 || aUnitPrice != 0)
    p.Print("  " + Thousandths(aQuantity) + (aUnit.empty() ? "" : " " + aUnit) + " x " + Amount(aUnitPrice));
  const std::string vat = " V" + std::to_string(aVat);
  if (aVoid) {
    p.Print(Row("VOID " + aDescription, Amount(-amount) + vat));
    p.ReceiptTotal -= amount;
  } else {
    p.Print(Row(aDescription, Amount(amount) + vat));
    p.ReceiptTotal += amount;
    p.LastItem = amount;
    ++p.ItemCount;
  }
  return c.Ok();
}

// The signed change of an adjustment of aBase: an amount, or a percentage given as
// currency (10.0 is ten per cent); nothing for an unknown type.
std::optional<int64_t> Adjustment(int32_t aType, int64_t aAmount, int64_t aBase) {
  switch (aType) {
    case kAmountDiscount: return -aAmount;
    case kAmountSurcharge: return aAmount;
    case kPercentageDiscount: return -(aBase * aAmount / (100 * kScale));
    case kPercentageSurcharge: return aBase * aAmount / (100 * kScale);
  }
  return std::nullopt;
}

// A payment (or an amount not paid): the receipt ends once the total is covered.
int32_t Payment(ZvOposControl& c, Printer& p, const std::string& aDescription, int64_t aAmount) {
  p.Print(Row(aDescription, Amount(aAmount)));
  p.Paid += aAmount;
  if (p.Paid >= p.ReceiptTotal) {
    if (p.Paid > p.ReceiptTotal) p.Print(Row("CHANGE", Amount(p.Paid - p.ReceiptTotal)));
    p.PrinterState = FiscalReceiptEnding;
  } else {
    p.PrinterState = FiscalReceiptTotal;
  }
  return c.Ok();
}

bool Digits(const std::string& aText) {
  for (char ch : aText)
    if (ch < '0' || ch > '9') return false;
  return true;
}

// ---- the table's functions ----

ZvOposControl* Create() {
  if (!Env("FPSIM_NO_CONTROL").empty()) return nullptr;
  try {
    return std::make_unique<ZvOposControl>().release();  // the caller's until Destroy
  } catch (...) {
    return nullptr;
  }
}

int32_t CloseControl(ZvOposControl& c, Printer& p) {
  if (c.Claimed) {
    p.ClaimedBy = nullptr;
    p.Released.notify_all();
  }
  c.Opened = c.Claimed = c.Enabled = false;
  return c.Ok();
}

void Destroy(ZvOposControl* c) {
  std::unique_ptr<ZvOposControl> owned(c);
  if (!owned) return;
  std::lock_guard<std::mutex> hold(owned->P->Lock);
  if (owned->Opened) CloseControl(*owned, *owned->P);
}

int32_t Open(ZvOposControl* c, const ZvOposChar* aName, int32_t aLength) {
  return Call(c, {"Open", Args(T(aName, aLength))}, [&](ZvOposControl& ctl, Printer&, std::unique_lock<std::mutex>&) {
    if (ctl.Opened) return ctl.Result(kIllegal, 0, "The control is already open");
    const std::string name = Utf8(aName, aLength);
    if (zv::LowerCase(FromUtf8(name)) != zv::LowerCase(FromUtf8(ctl.DeviceName)))
      return ctl.Result(kNoExist, 0, "No fiscal printer is configured as '" + name + "'");
    ctl.Opened = true;
    return ctl.Ok();
  });
}

int32_t ClaimDevice(ZvOposControl* c, int32_t aTimeout) {
  return Call(c, {"ClaimDevice", Args(aTimeout)}, [&](ZvOposControl& ctl, Printer& p, std::unique_lock<std::mutex>& hold) {
    if (!ctl.Opened) return ctl.Result(kClosed, 0, "The control is not open");
    if (p.ClaimedBy == &ctl) return ctl.Ok();
    const auto free = [&] { return p.ClaimedBy == nullptr; };
    if (aTimeout < 0)
      p.Released.wait(hold, free);
    else if (!p.Released.wait_for(hold, std::chrono::milliseconds(aTimeout), free))
      return ctl.Result(kTimeout, 0, "The device is claimed by another control");
    p.ClaimedBy = &ctl;
    ctl.Claimed = true;
    return ctl.Ok();
  });
}

int32_t ReleaseDevice(ZvOposControl* c) {
  return Call(c, "ReleaseDevice", [&](ZvOposControl& ctl, Printer& p, std::unique_lock<std::mutex>&) {
    if (!ctl.Opened) return ctl.Result(kClosed, 0, "The control is not open");
    if (!ctl.Claimed) return ctl.Result(kIllegal, 0, "The device is not claimed by this control");
    ctl.Claimed = ctl.Enabled = false;
    p.ClaimedBy = nullptr;
    p.Released.notify_all();
    return ctl.Ok();
  });
}

int32_t Close(ZvOposControl* c) {
  return Call(c, "Close", [&](ZvOposControl& ctl, Printer& p, std::unique_lock<std::mutex>&) {
    if (!ctl.Opened) return ctl.Result(kClosed, 0, "The control is not open");
    return CloseControl(ctl, p);
  });
}

int32_t BeginFiscalReceipt(ZvOposControl* c, int32_t aPrintHeader) {
  return Method(c, {"BeginFiscalReceipt", Args(aPrintHeader)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor) return ctl.WrongState("BeginFiscalReceipt");
    p.ClearReceipt();
    if (aPrintHeader) {
      p.Print("FISCAL PRINTER SIMULATOR");
      p.Print(p.Stamp("%d/%m/%Y %H:%M"));
    }
    if (p.Training) p.Print("TRAINING MODE - NOT FISCAL");
    if (!p.Training) p.DayOpened = true;
    p.PrinterState = FiscalReceipt;
    return ctl.Ok();
  });
}

int32_t EndFiscalReceipt(ZvOposControl* c, int32_t aPrintHeader) {
  return Method(c, {"EndFiscalReceipt", Args(aPrintHeader)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceiptEnding) return ctl.WrongState("EndFiscalReceipt");
    PrintWrapped(p, p.AdditionalTrailer);
    if (p.Training) {
      p.Print("TRAINING - NOT FISCAL");
    } else {
      ++p.ReceiptNumber;
      ++p.DailyReceipts;
      p.DailyTotal += p.ReceiptTotal;
      p.GrandTotal += p.ReceiptTotal;
      p.Print(Row("RECEIPT NO. " + std::to_string(p.ReceiptNumber), p.Stamp("%d/%m/%Y %H:%M")));
      p.Print("** FISCAL RECEIPT **");
    }
    p.ClearReceipt();
    p.PrinterState = Monitor;
    return ctl.Ok();
  });
}

int32_t BeginNonFiscal(ZvOposControl* c) {
  return Method(c, "BeginNonFiscal", true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor) return ctl.WrongState("BeginNonFiscal");
    p.PrinterState = NonFiscal;
    return ctl.Ok();
  });
}

int32_t EndNonFiscal(ZvOposControl* c) {
  return Method(c, "EndNonFiscal", true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != NonFiscal) return ctl.WrongState("EndNonFiscal");
    p.Print("** NON-FISCAL DOCUMENT **");
    p.PrinterState = Monitor;
    return ctl.Ok();
  });
}

int32_t BeginTraining(ZvOposControl* c) {
  return Method(c, "BeginTraining", false, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor || p.Training) return ctl.WrongState("BeginTraining");
    p.Training = true;
    return ctl.Ok();
  });
}

int32_t EndTraining(ZvOposControl* c) {
  return Method(c, "EndTraining", false, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor || !p.Training) return ctl.WrongState("EndTraining");
    p.Training = false;
    return ctl.Ok();
  });
}

int32_t ResetPrinter(ZvOposControl* c) {
  return Method(c, "ResetPrinter", false, [&](ZvOposControl& ctl, Printer& p) {
    if (InReceipt(p.PrinterState)) p.Print("*** RECEIPT CANCELLED ***");
    p.ClearReceipt();
    p.PrinterState = Monitor;
    return ctl.Ok();
  });
}

int32_t PrintXReport(ZvOposControl* c) {
  return Method(c, "PrintXReport", true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor) return ctl.WrongState("PrintXReport");
    p.Print("X REPORT");
    p.Print(p.Stamp("%d/%m/%Y %H:%M"));
    p.Print(Row("RECEIPTS", std::to_string(p.DailyReceipts)));
    p.Print(Row("DAILY TOTAL", Amount(p.DailyTotal)));
    return ctl.Ok();
  });
}

int32_t PrintZReport(ZvOposControl* c) {
  return Method(c, "PrintZReport", true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor || p.Training) return ctl.WrongState("PrintZReport");
    if (p.FiscalMemory <= 0) return ctl.Result(kExtended, kFiscalMemoryFull, "The fiscal memory is full");
    ++p.ZReportNumber;
    --p.FiscalMemory;
    p.Print("Z REPORT NO. " + std::to_string(p.ZReportNumber));
    p.Print(p.Stamp("%d/%m/%Y %H:%M"));
    p.Print(Row("RECEIPTS", std::to_string(p.DailyReceipts)));
    p.Print(Row("DAILY TOTAL", Amount(p.DailyTotal)));
    p.Print(Row("GRAND TOTAL", Amount(p.GrandTotal)));
    p.DailyTotal = 0;
    p.DailyReceipts = 0;
    p.DayOpened = false;
    return ctl.Ok();
  });
}

int32_t PrintNormal(ZvOposControl* c, int32_t aStation, const ZvOposChar* aData, int32_t aLength) {
  return Method(c, {"PrintNormal", Args(aStation, T(aData, aLength))}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (aStation != kReceiptStation) return ctl.Result(kIllegal, 0, "Only the receipt station (2) is fitted");
    if (p.PrinterState != NonFiscal) return ctl.WrongState("PrintNormal");
    PrintWrapped(p, Utf8(aData, aLength));
    return ctl.Ok();
  });
}

int32_t PrintRecMessage(ZvOposControl* c, const ZvOposChar* aText, int32_t aLength) {
  return Method(c, {"PrintRecMessage", Args(T(aText, aLength))}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (!InReceipt(p.PrinterState)) return ctl.WrongState("PrintRecMessage");
    p.Print(Utf8(aText, aLength));
    return ctl.Ok();
  });
}

int32_t PrintRecTaxID(ZvOposControl* c, const ZvOposChar* aText, int32_t aLength) {
  return Method(c, {"PrintRecTaxID", Args(T(aText, aLength))}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceipt && p.PrinterState != FiscalReceiptEnding)
      return ctl.WrongState("PrintRecTaxID");
    p.Print("TAX ID " + Utf8(aText, aLength));
    return ctl.Ok();
  });
}

int32_t PrintRecItem(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aDescriptionLength, int64_t aPrice,
                     int32_t aQuantity, int32_t aVat, int64_t aUnitPrice, const ZvOposChar* aUnit,
                     int32_t aUnitLength) {
  return Method(c, {"PrintRecItem", Args(T(aDescription, aDescriptionLength), aPrice, aQuantity, aVat, aUnitPrice, T(aUnit, aUnitLength))}, true, [&](ZvOposControl& ctl, Printer& p) {
    return Item(ctl, p, "PrintRecItem", false, Utf8(aDescription, aDescriptionLength), aPrice, aQuantity, aVat,
                aUnitPrice, Utf8(aUnit, aUnitLength));
  });
}

int32_t PrintRecItemVoid(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aDescriptionLength,
                         int64_t aPrice, int32_t aQuantity, int32_t aVat, int64_t aUnitPrice, const ZvOposChar* aUnit,
                         int32_t aUnitLength) {
  return Method(c, {"PrintRecItemVoid", Args(T(aDescription, aDescriptionLength), aPrice, aQuantity, aVat, aUnitPrice, T(aUnit, aUnitLength))}, true, [&](ZvOposControl& ctl, Printer& p) {
    return Item(ctl, p, "PrintRecItemVoid", true, Utf8(aDescription, aDescriptionLength), aPrice, aQuantity, aVat,
                aUnitPrice, Utf8(aUnit, aUnitLength));
  });
}

int32_t PrintRecRefund(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aLength, int64_t aAmount,
                       int32_t aVat) {
  return Method(c, {"PrintRecRefund", Args(T(aDescription, aLength), aAmount, aVat)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceipt) return ctl.WrongState("PrintRecRefund");
    if (aAmount <= 0) return ctl.Result(kExtended, kBadItemAmount, "The amount must be greater than 0");
    p.Print(Row("REFUND " + Utf8(aDescription, aLength), Amount(-aAmount) + " V" + std::to_string(aVat)));
    p.ReceiptTotal -= aAmount;
    return ctl.Ok();
  });
}

int32_t PrintRecItemAdjustment(ZvOposControl* c, int32_t aType, const ZvOposChar* aDescription, int32_t aLength,
                               int64_t aAmount, int32_t aVat) {
  return Method(c, {"PrintRecItemAdjustment", Args(aType, T(aDescription, aLength), aAmount, aVat)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceipt || p.ItemCount == 0) return ctl.WrongState("PrintRecItemAdjustment");
    const std::optional<int64_t> change = Adjustment(aType, aAmount, p.LastItem);
    if (!change) return ctl.Result(kIllegal, 0, "Unknown adjustment type " + std::to_string(aType));
    p.Print(Row(Utf8(aDescription, aLength), Amount(*change) + " V" + std::to_string(aVat)));
    p.ReceiptTotal += *change;
    return ctl.Ok();
  });
}

int32_t PrintRecSubtotal(ZvOposControl* c, int64_t aAmount) {
  return Method(c, {"PrintRecSubtotal", Args(aAmount)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceipt) return ctl.WrongState("PrintRecSubtotal");
    // 0 asks the printer for its subtotal; any other amount must match it.
    if (aAmount != 0 && aAmount != p.ReceiptTotal)
      return ctl.Result(kExtended, kBadItemAmount,
                        "The subtotal " + Amount(aAmount) + " differs from the printer's " + Amount(p.ReceiptTotal));
    p.Print(Row("SUBTOTAL", Amount(p.ReceiptTotal)));
    return ctl.Ok();
  });
}

int32_t PrintRecSubtotalAdjustment(ZvOposControl* c, int32_t aType, const ZvOposChar* aDescription, int32_t aLength,
                                   int64_t aAmount) {
  return Method(c, {"PrintRecSubtotalAdjustment", Args(aType, T(aDescription, aLength), aAmount)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceipt || p.ItemCount == 0) return ctl.WrongState("PrintRecSubtotalAdjustment");
    const std::optional<int64_t> change = Adjustment(aType, aAmount, p.ReceiptTotal);
    if (!change) return ctl.Result(kIllegal, 0, "Unknown adjustment type " + std::to_string(aType));
    p.Print(Row(Utf8(aDescription, aLength), Amount(*change)));
    p.ReceiptTotal += *change;
    return ctl.Ok();
  });
}

int32_t PrintRecTotal(ZvOposControl* c, int64_t aTotal, int64_t aPayment, const ZvOposChar* aDescription,
                      int32_t aLength) {
  return Method(c, {"PrintRecTotal", Args(aTotal, aPayment, T(aDescription, aLength))}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceipt && p.PrinterState != FiscalReceiptTotal)
      return ctl.WrongState("PrintRecTotal");
    if (p.ReceiptTotal < 0) return ctl.Result(kExtended, kNegativeTotal, "The receipt total is negative");
    if (aTotal != p.ReceiptTotal)
      return ctl.Result(kExtended, kBadItemAmount,
                        "The total " + Amount(aTotal) + " differs from the printer's " + Amount(p.ReceiptTotal));
    if (aPayment < 0) return ctl.Result(kExtended, kBadItemAmount, "The payment must not be negative");
    if (p.PrinterState == FiscalReceipt) p.Print(Row("TOTAL", Amount(p.ReceiptTotal)));
    return Payment(ctl, p, Utf8(aDescription, aLength), aPayment);
  });
}

int32_t PrintRecNotPaid(ZvOposControl* c, const ZvOposChar* aDescription, int32_t aLength, int64_t aAmount) {
  return Method(c, {"PrintRecNotPaid", Args(T(aDescription, aLength), aAmount)}, true, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != FiscalReceiptTotal) return ctl.WrongState("PrintRecNotPaid");
    if (aAmount <= 0) return ctl.Result(kExtended, kBadItemAmount, "The amount must be greater than 0");
    return Payment(ctl, p, "NOT PAID " + Utf8(aDescription, aLength), aAmount);
  });
}

// Command 1 answers the receipt number in the data and the printer's serial number in
// the string; any other command is illegal and answers 0 and the reason.
int32_t DirectIO(ZvOposControl* c, int32_t aCommand, int32_t* aData, const ZvOposChar* aString, int32_t aLength,
                 ZvOposTextSink aSink, void* aContext) {
  std::string text = Utf8(aString, aLength);
  int32_t data = aData ? *aData : 0;
  const int32_t code = Method(c, {"DirectIO", Args(aCommand, aData ? *aData : 0, T(aString, aLength))}, false, [&](ZvOposControl& ctl, Printer& p) {
    if (aCommand == 1) {
      data = p.ReceiptNumber;
      text = "FPSIM-0001";
      return ctl.Ok();
    }
    data = 0;
    text = "Unknown DirectIO command " + std::to_string(aCommand);
    return ctl.Result(kIllegal, 0, text);
  });
  if (aData) *aData = data;
  Give(aSink, aContext, text);
  return code;
}

// Amounts come as the OPOS currency value in decimal (12.50 is "125000").
int32_t GetData(ZvOposControl* c, int32_t aItem, int32_t*, ZvOposTextSink aSink, void* aContext) {
  return Method(c, {"GetData", Args(aItem)}, false, [&](ZvOposControl& ctl, Printer& p) {
    std::string data;
    switch (aItem) {
      case 1: data = std::to_string(p.ReceiptTotal); break;   // current total
      case 2: data = std::to_string(p.DailyTotal); break;     // daily total
      case 3: data = std::to_string(p.ReceiptNumber); break;  // receipt number
      case 7: data = std::to_string(p.ZReportNumber); break;  // Z report number
      case 8: data = std::to_string(p.GrandTotal); break;     // grand total
      case 9: data = "FPSIM-0001"; break;                     // printer id
      case 10: data = "1.0"; break;                           // firmware
      default: return ctl.Result(kIllegal, 0, "Unknown data item " + std::to_string(aItem));
    }
    Give(aSink, aContext, data);
    return ctl.Ok();
  });
}

int32_t GetDate(ZvOposControl* c, ZvOposTextSink aSink, void* aContext) {
  return Method(c, "GetDate", false, [&](ZvOposControl& ctl, Printer& p) {
    Give(aSink, aContext, ctl.Reply ? *std::exchange(ctl.Reply, std::nullopt) : p.Stamp("%d%m%Y%H%M"));
    return ctl.Ok();
  });
}

int32_t SetDate(ZvOposControl* c, const ZvOposChar* aDate, int32_t aLength) {
  return Method(c, {"SetDate", Args(T(aDate, aLength))}, false, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor) return ctl.WrongState("SetDate");
    if (p.DayOpened) return ctl.Result(kExtended, kDayEndRequired, "A Z report must end the day first");
    const std::string text = Utf8(aDate, aLength);
    std::tm wanted{};
    if (text.size() != 12 || !Digits(text)) return ctl.Result(kExtended, kBadDate, "The date must be ddmmyyyyhhnn");
    wanted.tm_mday = std::stoi(text.substr(0, 2));
    wanted.tm_mon = std::stoi(text.substr(2, 2)) - 1;
    wanted.tm_year = std::stoi(text.substr(4, 4)) - 1900;
    wanted.tm_hour = std::stoi(text.substr(8, 2));
    wanted.tm_min = std::stoi(text.substr(10, 2));
    wanted.tm_isdst = -1;
    std::tm check = wanted;
    const std::time_t t = std::mktime(&check);
    if (t == -1 || check.tm_mday != wanted.tm_mday || check.tm_mon != wanted.tm_mon || check.tm_hour != wanted.tm_hour ||
        check.tm_min != wanted.tm_min)
      return ctl.Result(kExtended, kBadDate, "'" + text + "' is no date and time");
    p.DateOffset = t - std::time(nullptr);
    return ctl.Ok();
  });
}

int32_t GetDeviceEnabled(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetDeviceEnabled", [&](ZvOposControl& ctl, Printer&) { *aValue = ctl.Enabled; });
}

// OPOS refuses enabling an unclaimed device by leaving the property as it was.
int32_t SetDeviceEnabled(ZvOposControl* c, int32_t aValue) {
  return Property(c, {"SetDeviceEnabled", Args(aValue)}, [&](ZvOposControl& ctl, Printer&) {
    if (!ctl.Opened) {
      ctl.Result(kClosed, 0, "The control is not open");
    } else if (ctl.EnableStuck) {
      ctl.Result(111, 0, "The device cannot change its enabled state");
    } else if (aValue && !ctl.Claimed) {
      ctl.Result(kNotClaimed, 0, "The device is not claimed");
    } else {
      ctl.Enabled = aValue != 0;
      ctl.Ok();
    }
  });
}

int32_t GetResultCodeExtended(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetResultCodeExtended", [&](ZvOposControl& ctl, Printer&) { *aValue = ctl.ResultCodeExtended; });
}

int32_t GetErrorString(ZvOposControl* c, ZvOposTextSink aSink, void* aContext) {
  return Property(c, "GetErrorString", [&](ZvOposControl& ctl, Printer&) { Give(aSink, aContext, ctl.ErrorString); });
}

int32_t GetAdditionalTrailer(ZvOposControl* c, ZvOposTextSink aSink, void* aContext) {
  return Property(c, "GetAdditionalTrailer",
                  [&](ZvOposControl&, Printer& p) { Give(aSink, aContext, p.AdditionalTrailer); });
}

int32_t SetAdditionalTrailer(ZvOposControl* c, const ZvOposChar* aValue, int32_t aLength) {
  return Property(c, {"SetAdditionalTrailer", Args(T(aValue, aLength))},
                  [&](ZvOposControl&, Printer& p) { p.AdditionalTrailer = Utf8(aValue, aLength); });
}

int32_t SetPreLine(ZvOposControl* c, const ZvOposChar* aValue, int32_t aLength) {
  return Property(c, {"SetPreLine", Args(T(aValue, aLength))}, [&](ZvOposControl&, Printer& p) { p.PreLine = Utf8(aValue, aLength); });
}

int32_t SetFiscalReceiptType(ZvOposControl* c, int32_t aValue) {
  return Property(c, {"SetFiscalReceiptType", Args(aValue)}, [&](ZvOposControl& ctl, Printer& p) {
    if (p.PrinterState != Monitor)
      ctl.WrongState("FiscalReceiptType");
    else
      p.FiscalReceiptType = aValue;
  });
}

int32_t GetPrinterState(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetPrinterState",
                  [&](ZvOposControl& ctl, Printer& p) { *aValue = ctl.Opened ? p.PrinterState : 0; });
}

int32_t GetRemainingFiscalMemory(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetRemainingFiscalMemory", [&](ZvOposControl&, Printer& p) { *aValue = p.FiscalMemory; });
}

int32_t GetCoverOpen(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetCoverOpen", [&](ZvOposControl& ctl, Printer&) { *aValue = ctl.CoverOpen; });
}

int32_t GetDayOpened(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetDayOpened", [&](ZvOposControl&, Printer& p) { *aValue = p.DayOpened; });
}

int32_t GetRecEmpty(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetRecEmpty", [&](ZvOposControl& ctl, Printer&) { *aValue = ctl.RecEmpty(); });
}

int32_t GetRecNearEnd(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetRecNearEnd", [&](ZvOposControl& ctl, Printer&) { *aValue = ctl.RecNearEnd(); });
}

int32_t GetTrainingModeActive(ZvOposControl* c, int32_t* aValue) {
  return Property(c, "GetTrainingModeActive", [&](ZvOposControl&, Printer& p) { *aValue = p.Training; });
}

// Rehearsals of a driver meeting a control it cannot use: FPSIM_TABLE_VERSION and
// FPSIM_TABLE_SIZE make the table claim another version or size, FPSIM_TABLE_OMIT
// leaves the named member empty.
ZvOposFiscalPrinterTable MakeTable() {
  ZvOposFiscalPrinterTable t{};
  t.Version = static_cast<uint32_t>(EnvNumber("FPSIM_TABLE_VERSION", ZV_OPOS_FISCALPRINTER_VERSION));
  t.Size = static_cast<uint32_t>(EnvNumber("FPSIM_TABLE_SIZE", sizeof(ZvOposFiscalPrinterTable)));
  const std::string omit = Env("FPSIM_TABLE_OMIT");
#define FPSIM_MEMBER(name) \
  if (omit != #name) t.name = name;
  FPSIM_MEMBER(Create)
  FPSIM_MEMBER(Destroy)
  FPSIM_MEMBER(Open)
  FPSIM_MEMBER(ClaimDevice)
  FPSIM_MEMBER(ReleaseDevice)
  FPSIM_MEMBER(Close)
  FPSIM_MEMBER(BeginFiscalReceipt)
  FPSIM_MEMBER(EndFiscalReceipt)
  FPSIM_MEMBER(BeginNonFiscal)
  FPSIM_MEMBER(EndNonFiscal)
  FPSIM_MEMBER(BeginTraining)
  FPSIM_MEMBER(EndTraining)
  FPSIM_MEMBER(ResetPrinter)
  FPSIM_MEMBER(PrintXReport)
  FPSIM_MEMBER(PrintZReport)
  FPSIM_MEMBER(PrintNormal)
  FPSIM_MEMBER(PrintRecMessage)
  FPSIM_MEMBER(PrintRecTaxID)
  FPSIM_MEMBER(PrintRecItem)
  FPSIM_MEMBER(PrintRecItemVoid)
  FPSIM_MEMBER(PrintRecRefund)
  FPSIM_MEMBER(PrintRecItemAdjustment)
  FPSIM_MEMBER(PrintRecSubtotal)
  FPSIM_MEMBER(PrintRecSubtotalAdjustment)
  FPSIM_MEMBER(PrintRecTotal)
  FPSIM_MEMBER(PrintRecNotPaid)
  FPSIM_MEMBER(DirectIO)
  FPSIM_MEMBER(GetData)
  FPSIM_MEMBER(GetDate)
  FPSIM_MEMBER(SetDate)
  FPSIM_MEMBER(GetDeviceEnabled)
  FPSIM_MEMBER(SetDeviceEnabled)
  FPSIM_MEMBER(GetResultCodeExtended)
  FPSIM_MEMBER(GetErrorString)
  FPSIM_MEMBER(GetAdditionalTrailer)
  FPSIM_MEMBER(SetAdditionalTrailer)
  FPSIM_MEMBER(SetPreLine)
  FPSIM_MEMBER(SetFiscalReceiptType)
  FPSIM_MEMBER(GetPrinterState)
  FPSIM_MEMBER(GetRemainingFiscalMemory)
  FPSIM_MEMBER(GetCoverOpen)
  FPSIM_MEMBER(GetDayOpened)
  FPSIM_MEMBER(GetRecEmpty)
  FPSIM_MEMBER(GetRecNearEnd)
  FPSIM_MEMBER(GetTrainingModeActive)
#undef FPSIM_MEMBER
  return t;
}

}  // namespace

// Every table handed out stays as it was for the life of the process: one per
// configuration of the rehearsals above. FPSIM_TABLE_REWRITE rehearses a plug-in that
// rewrites one table in place on every call instead.
extern "C" __attribute__((visibility("default"))) const ZvOposFiscalPrinterTable* ZvOposGetFiscalPrinter() {
  static std::mutex lock;
  static std::vector<std::unique_ptr<const ZvOposFiscalPrinterTable>> tables;
  static ZvOposFiscalPrinterTable rewritten;
  if (!Env("FPSIM_NO_TABLE").empty()) return nullptr;
  std::lock_guard<std::mutex> hold(lock);
  const ZvOposFiscalPrinterTable wanted = MakeTable();
  if (!Env("FPSIM_TABLE_REWRITE").empty()) {
    rewritten = wanted;
    return &rewritten;
  }
  for (const auto& table : tables)
    if (std::memcmp(table.get(), &wanted, sizeof wanted) == 0) return table.get();
  tables.push_back(std::make_unique<const ZvOposFiscalPrinterTable>(wanted));
  return tables.back().get();
}
