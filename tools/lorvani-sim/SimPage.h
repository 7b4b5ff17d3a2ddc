#pragma once
// The journal page that GET / serves: the orders with their refunds, the requests
// that failed and the fault waiting for the next request, refreshing itself.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SimStore.h"

namespace lorvanisim {

// A request that got no success: its status (0: no answer was sent) and message.
struct PageFailure {
  std::string ReceivedAt;
  std::string Method;
  std::string Path;
  int Status = 0;
  std::string Message;
};

// aText with & < > " ' replaced by their character references.
std::string HtmlEscape(std::string_view aText);

// aPending: requests still being worked on (a delay running), not failures; aReplays:
// repeats of a request id, answered with the first answer.
std::string JournalPage(const std::vector<SimStore::Order>& aOrders, const std::vector<PageFailure>& aFailures,
                        const std::vector<PageFailure>& aPending, const std::vector<PageFailure>& aReplays,
                        const std::optional<Fault>& aNextFault);

}  // namespace lorvanisim
