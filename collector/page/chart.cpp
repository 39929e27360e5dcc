#include "page/chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "core/text.h"
#include "page/html.h"

namespace collector {

namespace {

// The drawing's own units; the SVG scales to the width of the page.
constexpr double width = 640, height = 220, left = 44, right = 6, top = 12, bottom = 26;

// 0.25, 2.5, 150: no more digits than the value needs.
std::string axisLabel(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// The smallest 1, 2 or 5 times a power of ten at or above `value`.
double roundUp(double value) {
  if (value <= 1.0) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {1.0, 2.0, 5.0, 10.0}) {
    if (step * power >= value) return step * power;
  }
  return 10.0 * power;
}

// The days of `span` that have totals, by day.
using DaysByDay = std::map<std::int64_t, const DayTotals*>;

// The bars, one a day stacked by server, over the grid and the axes, the
// tallest day's miles `most` within the scale.
std::string chartSvg(const std::string& escapedTitle, const DaySpan& span, const DaysByDay& byDay,
                     double most, const std::vector<ServerColumn>& servers) {
  const double scale = roundUp(most);
  const double plotWidth = width - left - right, plotHeight = height - top - bottom;
  const double base = top + plotHeight;
  std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + fixedDecimals(width, 0) + " " +
                    fixedDecimals(height, 0) + "\" role=\"img\"><title>" + escapedTitle +
                    "</title>";
  for (int step = 0; step <= 4; ++step) {
    const double y = base - plotHeight * step / 4;
    svg += "<line class=\"grid\" x1=\"" + fixedDecimals(left, 0) + "\" x2=\"" +
           fixedDecimals(width - right, 0) + "\" y1=\"" + fixedDecimals(y, 1) + "\" y2=\"" +
           fixedDecimals(y, 1) + "\"/><text class=\"axis\" x=\"" + fixedDecimals(left - 4, 0) +
           "\" y=\"" + fixedDecimals(y + 4, 1) + "\" text-anchor=\"end\">" +
           axisLabel(scale * step / 4) + "</text>";
  }
  const double slot = span.count ? plotWidth / static_cast<double>(span.count) : plotWidth;
  const double barWidth = std::max(slot * 0.75, 0.5);
  const std::int64_t labelEvery = std::max<std::int64_t>(1, (span.count + 7) / 8);
  for (std::int64_t i = 0; i < span.count; ++i) {
    const std::int64_t day = span.first + i;
    const std::string date = dayText(day);
    const double x = left + slot * static_cast<double>(i);
    if (i % labelEvery == 0) {
      svg += "<text class=\"axis\" x=\"" + fixedDecimals(x + slot / 2, 1) + "\" y=\"" +
             fixedDecimals(height - 8, 0) + "\" text-anchor=\"middle\">" + date.substr(5) +
             "</text>";
    }
    auto found = byDay.find(day);
    if (found == byDay.end()) continue;
    double y = base;
    for (const ServerColumn& server : servers) {
      auto totals = found->second->servers.find(server.id);
      if (totals == found->second->servers.end() || totals->second.miles <= 0.0) continue;
      const double barHeight = totals->second.miles / scale * plotHeight;
      y -= barHeight;
      svg += "<rect class=\"" + server.style + "\" x=\"" +
             fixedDecimals(x + (slot - barWidth) / 2, 2) + "\" y=\"" + fixedDecimals(y, 2) +
             "\" width=\"" + fixedDecimals(barWidth, 2) + "\" height=\"" +
             fixedDecimals(barHeight, 2) + "\" data-day=\"" + date + "\" data-server=\"" +
             escapeHtml(server.id) + "\" data-miles=\"" + fixedDecimals(totals->second.miles, 6) +
             "\"><title>" + date + ", " + escapeHtml(server.name) + ": " +
             fixedDecimals(totals->second.miles, 2) + " miles</title></rect>";
    }
  }
  svg += "</svg>";
  return svg;
}

// The legend, and the chart's numbers in a table for those who cannot see it.
std::string legendAndTable(const std::string& escapedTitle, const DaysByDay& byDay,
                           const std::vector<ServerColumn>& servers) {
  std::string legend = "<p class=\"legend\">";
  std::string head = "<th>Day (UTC)</th><th>Miles</th><th>Hours</th><th>Reports</th>";
  for (const ServerColumn& server : servers) {
    legend += "<span><i class=\"" + server.style + "\"></i>" + escapeHtml(server.name) + "</span> ";
    head += "<th>" + escapeHtml(server.name) + "</th>";
  }
  legend += "</p>";
  std::string rows;
  for (const auto& [day, totals] : byDay) {
    rows += "<tr><td>" + dayText(day) + "</td><td class=\"num\">" +
            fixedDecimals(totals->miles, 2) + "</td><td class=\"num\">" +
            fixedDecimals(static_cast<double>(totals->seconds) / 3600.0, 2) +
            "</td><td class=\"num\">" + std::to_string(totals->reports) + "</td>";
    for (const ServerColumn& server : servers) {
      auto found = totals->servers.find(server.id);
      rows +=
          "<td class=\"num\">" +
          (found == totals->servers.end() ? std::string() : fixedDecimals(found->second.miles, 2)) +
          "</td>";
    }
    rows += "</tr>";
  }
  if (byDay.empty()) {
    rows = "<tr><td colspan=\"" + std::to_string(4 + servers.size()) +
           "\">No counted miles on these days.</td></tr>";
  }
  return legend + "<details><summary>The numbers</summary><div class=\"scroll\"><table>" +
         "<caption>" + escapedTitle + "</caption><thead><tr>" + head + "</tr></thead><tbody>" +
         rows + "</tbody></table></div></details>";
}

}  // namespace

std::string renderDayChart(const std::string& title, const DaySpan& span,
                           const std::vector<DayTotals>& days,
                           const std::vector<ServerColumn>& servers) {
  DaysByDay byDay;
  double most = 0.0;
  for (const DayTotals& day : days) {
    if (day.day < span.first || day.day >= span.first + span.count) continue;
    byDay[day.day] = &day;
    double stacked = 0.0;
    for (const auto& [server, totals] : day.servers) stacked += totals.miles;
    most = std::max(most, stacked);
  }
  const std::string escapedTitle = escapeHtml(title);
  return "<figure class=\"chart\">" + chartSvg(escapedTitle, span, byDay, most, servers) +
         "<figcaption>" + escapedTitle + "</figcaption>" +
         legendAndTable(escapedTitle, byDay, servers) + "</figure>\n";
}

}  // namespace collector
