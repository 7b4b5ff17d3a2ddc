// The boundary at the level of the machine, as a host's compiler reaches it: the strings'
// memory (a 32-bit byte count before the text), and on 32-bit Windows the calling
// convention that the header declares (the callee removes its arguments from the stack)
// and the result in the whole return register.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "HostLibrary.h"
#include "ZVPA_LORVANI_10.h"

namespace {

using Library = zvtest::HostLibrary;
using zvtest::FromBstr;
using zvtest::Ole;

// What a host declares from the header: two-byte characters and, in a 32-bit host,
// four-byte string pointers and out-addresses (the commands take 12 bytes of arguments).
static_assert(sizeof(OLECHAR) == 2);
#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(BSTR) == 4 && sizeof(BSTR*) == 4 && sizeof(int) == 4);
#endif

class HostAbi : public ::testing::Test {
 protected:
  Library lib;
};

TEST_F(HostAbi, AnAnswersLengthPrefixCountsTheBytesOfItsText) {
  BSTR response = nullptr, error = nullptr;
  ASSERT_EQ(lib.Symbol<Library::Command>("GETSTATUS")(nullptr, &response, &error), 0);
  ASSERT_NE(response, nullptr);
  uint32_t units = 0;
  while (response[units] != 0) ++units;
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(response) - sizeof prefix, sizeof prefix);
  EXPECT_GT(units, 100u);
  EXPECT_EQ(prefix, 2 * units);
  EXPECT_EQ(lib.stringByteLen(response), prefix);
  EXPECT_EQ(lib.stringLen(response), units);
  lib.freeString(response);
  lib.freeString(error);
}

// The count before a host's string says where the text ends, wherever a terminator
// stands: here the count covers the document and a stray closing tag follows it.
TEST_F(HostAbi, ARequestIsReadByItsCountNotUpToATerminator) {
  const std::u16string document = u"<R><Driver>NOPE</Driver></R>";
  const std::u16string text = document + u"</Q>";
  BSTR request = lib.allocStringLen(Ole(text.data()), static_cast<unsigned>(text.size()));
  char* const prefix = reinterpret_cast<char*>(request) - sizeof(uint32_t);
  uint32_t count = 0;
  std::memcpy(&count, prefix, sizeof count);
  const uint32_t shorter = static_cast<uint32_t>(2 * document.size());
  std::memcpy(prefix, &shorter, sizeof shorter);
  ASSERT_EQ(lib.stringLen(request), document.size());
  BSTR response = nullptr, error = nullptr;
  const int result = lib.Symbol<Library::Command>("OPEN")(request, &response, &error);
  std::memcpy(prefix, &count, sizeof count);  // the allocator frees what it made
  EXPECT_EQ(result, 0xFFFF);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(FromBstr(error, lib.stringLen(error)), u"Payment Driver [NOPE] not registered.");
  lib.freeString(response);
  lib.freeString(error);
  lib.freeString(request);
}

#if defined(_WIN32) && defined(__i386__)
// Calls aFunction with three 4-byte arguments exactly as a 32-bit stdcall caller does
// (pushed right to left, nothing removed after the call), and reports the whole EAX and
// how many bytes the call left on the stack: 0 when the callee removed its arguments.
struct StackCall {
  uint32_t Eax;
  int32_t LeftOnStack;
};
StackCall CallAsStdcall(void* aFunction, void* aFirst, void* aSecond, void* aThird) {
  struct {
    void* Function;
    void* Arguments[3];
  } frame{aFunction, {aFirst, aSecond, aThird}};
  uint32_t eax = 0;
  int32_t left = 0;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "pushl 12(%[f])\n\t"
      "pushl 8(%[f])\n\t"
      "pushl 4(%[f])\n\t"
      "call *(%[f])\n\t"
      "movl %%esi, %%edx\n\t"
      "subl %%esp, %%edx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(eax), "=d"(left)
      : [f] "b"(&frame)
      : "esi", "ecx", "memory", "cc");
  return {eax, left};
}

// A function that leaves its arguments to the caller: what the probe must see as unbalanced.
extern "C" __attribute__((noinline, cdecl)) int LeavesItsArguments(BSTR, BSTR*, BSTR*) { return 0xFFFF; }

TEST_F(HostAbi, EachCommandRemovesItsArgumentsAndAnswersInTheWholeRegister) {
  const StackCall probe =
      CallAsStdcall(reinterpret_cast<void*>(&LeavesItsArguments), nullptr, nullptr, nullptr);
  ASSERT_EQ(probe.LeftOnStack, 12) << "the probe does not see an unbalanced call";

  struct Case {
    const char* Command;
    uint32_t Eax;
  };
  // Without a request every command fails but GETSTATUS and VERSION, which answer 0.
  for (const Case& c : {Case{"OPEN", 0xFFFF}, Case{"CLOSE", 0xFFFF}, Case{"PAY", 0xFFFF}, Case{"REPRINT", 0xFFFF},
                        Case{"GETSTATUS", 0}, Case{"DAYCLOSE", 0xFFFF}, Case{"GETTOTALS", 0xFFFF},
                        Case{"VERSION", 0}}) {
    // The pointer typed as the header declares it, as a host's GetProcAddress gives it.
    const Library::Command command = lib.Symbol<Library::Command>(c.Command);
    BSTR response = nullptr, error = nullptr;
    const StackCall call = CallAsStdcall(reinterpret_cast<void*>(command), nullptr, &response, &error);
    EXPECT_EQ(call.LeftOnStack, 0) << c.Command;
    // A host that declares the result as a 32-bit integer reads 0 or 65535; one that
    // declares 16 bits reads 0 or -1 from the same register.
    EXPECT_EQ(call.Eax, c.Eax) << c.Command;
    EXPECT_EQ(static_cast<int16_t>(call.Eax & 0xFFFF), c.Eax == 0 ? 0 : -1) << c.Command;
    lib.freeString(response);
    lib.freeString(error);
  }
}
#endif

}  // namespace
