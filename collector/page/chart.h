// Charts of miles per UTC day as inline SVG, with the same numbers in a table
// beside them for those who cannot see the chart. Texts go through escapeHtml.
#pragma once

#include <string>
#include <vector>

#include "core/calendar.h"
#include "store/store.h"

namespace collector {

struct ServerColumn {
  std::string id;     // the server's identifier
  std::string name;   // as the page shows it
  std::string style;  // the CSS class of its colour
};

// Counted miles per day of `span`, one bar a day, stacked by server in the
// order of `servers`. Each bar segment carries data-day, data-server and
// data-miles (six decimals) and a tooltip.
std::string renderDayChart(const std::string& title, const DaySpan& span,
                           const std::vector<DayTotals>& days,
                           const std::vector<ServerColumn>& servers);

}  // namespace collector
