#include "SimPage.h"

namespace lorvanisim {

namespace {

// Everything inline: the page loads nothing from anywhere else. It reloads itself
// every 3 seconds.
const char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="refresh" content="3">
<title>lorvani-sim journal</title>
<style>
body { margin: 0; padding: 12px 16px; background: #ffffff; color: #1a1a1a; font: 14px/1.3 sans-serif; }
h1 { font-size: 18px; margin: 0 0 8px 0; }
h2 { font-size: 15px; margin: 14px 0 4px 0; }
p { margin: 4px 0; }
table { width: 100%; border-collapse: collapse; font-size: 12px; }
th, td { padding: 5px 6px; text-align: left; border: 0; white-space: nowrap; }
th { background: #1f4e79; color: #ffffff; height: 18px; }
tbody tr:nth-child(odd) td { background: #dceaf7; }
tbody tr:nth-child(even) td { background: #fff2cc; }
td.empty { background: #ffffff !important; color: #666666; font-style: italic; }
.amount { text-align: right; }
.fault { color: #9c0006; font-weight: bold; }
</style>
</head>
<body>
)";

std::string Cell(std::string_view aText, const char* aClass = nullptr) {
  std::string cell = aClass ? std::string("<td class=\"") + aClass + "\">" : std::string("<td>");
  cell += HtmlEscape(aText);
  cell += "</td>";
  return cell;
}

std::string HeaderRow(std::initializer_list<const char*> aNames) {
  std::string row = "<thead><tr>";
  for (const char* name : aNames) {
    row += "<th>";
    row += name;
    row += "</th>";
  }
  row += "</tr></thead>\n";
  return row;
}

std::string EmptyRow(int aColumns, const char* aText) {
  return "<tr><td class=\"empty\" colspan=\"" + std::to_string(aColumns) + "\">" + aText + "</td></tr>\n";
}

std::string Money(int64_t aAmount, const std::string& aCurrency) { return FormatAmount(aAmount) + " " + aCurrency; }

}  // namespace

std::string HtmlEscape(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (char c : aText) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string JournalPage(const std::vector<SimStore::Order>& aOrders, const std::vector<PageFailure>& aFailures,
                        const std::vector<PageFailure>& aPending, const std::vector<PageFailure>& aReplays,
                        const std::optional<Fault>& aNextFault) {
  std::string page = kHead;
  page += "<h1>lorvani-sim journal</h1>\n<p id=\"next-fault\">Fault for the next request: ";
  page += aNextFault ? "<span class=\"fault\">" + HtmlEscape(aNextFault->Name) + "</span> (set with POST /_sim/fault)"
                     : std::string("none");
  page += "</p>\n";

  page += "<h2>Orders</h2>\n<table id=\"orders\">\n";
  page += HeaderRow({"Created (UTC)", "Token", "Request id", "Pre-approval code", "Operator", "Reference", "Amount",
                     "Refunded"});
  page += "<tbody>\n";
  for (const auto& order : aOrders) {
    page += "<tr>" + Cell(order.CreatedAt) + Cell(order.Token) + Cell(order.RequestId) +
            Cell(order.PreApprovalCode) + Cell(order.OperatorId) + Cell(order.Reference) +
            Cell(Money(order.Amount, order.Currency), "amount") + Cell(Money(order.Refunded(), order.Currency), "amount") +
            "</tr>\n";
  }
  if (aOrders.empty()) page += EmptyRow(8, "No orders yet");
  page += "</tbody>\n</table>\n";

  page += "<h2>Refunds</h2>\n<table id=\"refunds\">\n";
  page += HeaderRow({"Refunded (UTC)", "Refund token", "Order token", "Request id", "Amount"});
  page += "<tbody>\n";
  bool anyRefund = false;
  for (const auto& order : aOrders) {
    for (const auto& refund : order.Refunds) {
      anyRefund = true;
      page += "<tr>" + Cell(refund.RefundedAt) + Cell(refund.RefundToken) + Cell(order.Token) +
              Cell(refund.RequestId) + Cell(Money(refund.Amount, order.Currency), "amount") + "</tr>\n";
    }
  }
  if (!anyRefund) page += EmptyRow(5, "No refunds yet");
  page += "</tbody>\n</table>\n";

  if (!aPending.empty()) {
    page += "<h2>Pending</h2>\n<table id=\"pending\">\n";
    page += HeaderRow({"Received (UTC)", "Request", "Status"});
    page += "<tbody>\n";
    for (const auto& request : aPending)
      page += "<tr>" + Cell(request.ReceivedAt) + Cell(request.Method + " " + request.Path) + Cell("pending") + "</tr>\n";
    page += "</tbody>\n</table>\n";
  }

  if (!aReplays.empty()) {
    page += "<h2>Replays</h2>\n<table id=\"replays\">\n";
    page += HeaderRow({"Received (UTC)", "Request", "Status", "Answer"});
    page += "<tbody>\n";
    for (const auto& request : aReplays) {
      page += "<tr>" + Cell(request.ReceivedAt) + Cell(request.Method + " " + request.Path) +
              Cell(std::to_string(request.Status)) + Cell(request.Message) + "</tr>\n";
    }
    page += "</tbody>\n</table>\n";
  }

  page += "<h2>Failures</h2>\n<table id=\"failures\">\n";
  page += HeaderRow({"Received (UTC)", "Request", "Status", "Message"});
  page += "<tbody>\n";
  for (const auto& failure : aFailures) {
    page += "<tr>" + Cell(failure.ReceivedAt) + Cell(failure.Method + " " + failure.Path) +
            Cell(failure.Status == 0 ? std::string("no answer") : std::to_string(failure.Status)) +
            Cell(failure.Message) + "</tr>\n";
  }
  if (aFailures.empty()) page += EmptyRow(4, "No failures");
  page += "</tbody>\n</table>\n</body>\n</html>\n";
  return page;
}

}  // namespace lorvanisim
