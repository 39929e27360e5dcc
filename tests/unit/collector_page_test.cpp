// The pages' links to the previous and next pages of a board, the events'
// order and pages, and the event page that reloads itself while it runs.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "page/page.h"

namespace {

using namespace collector;

// The hrefs of the links with id "previous" and "next", as a browser reads
// them (&amp; back to &), "-" for one that is not there.
std::vector<std::string> pageHrefs(const std::string& html) {
  std::vector<std::string> hrefs;
  for (const char* id : {"previous", "next"}) {
    std::smatch found;
    const std::regex link("<a id=\"" + std::string(id) + "\" href=\"([^\"]*)\"");
    std::string href = std::regex_search(html, found, link) ? found[1].str() : "-";
    for (std::size_t at; (at = href.find("&amp;")) != std::string::npos;) href.erase(at + 1, 4);
    hrefs.push_back(href);
  }
  return hrefs;
}

TEST(CollectorPage, PagesOfABoardKeepTheirLimit) {
  const struct {
    std::int64_t limit, offset, total;
    const char* previous;
    const char* next;
  } rows[] = {
      {10, 0, 25, "-", "/events/7?offset=10&limit=10"},
      {10, 10, 25, "/events/7?offset=0&limit=10", "/events/7?offset=20&limit=10"},
      {5, 20, 25, "/events/7?offset=15&limit=5", "-"},  // the last page ends at the total
      {5, 20, 26, "/events/7?offset=15&limit=5", "/events/7?offset=25&limit=5"},
      {10, 5, 25, "/events/7?offset=0&limit=10", "/events/7?offset=15&limit=10"},
      {100, 100, 150, "/events/7?offset=0", "-"},  // the default limit is not repeated
  };
  Event event;
  event.id = 7;
  event.name = "Convoy";
  for (const auto& row : rows) {
    BoardQuery query;
    query.limit = row.limit;
    query.offset = row.offset;
    Board board;
    board.totalPlayers = row.total;
    const std::string html = renderEventPage(PageSettings(), event, 0, query, board);
    EXPECT_EQ(pageHrefs(html), (std::vector<std::string>{row.previous, row.next}))
        << row.limit << " " << row.offset << " " << row.total;
  }
}

TEST(CollectorPage, TheLeaderboardPagesInItsPeriod) {
  PeriodChoice choice;
  choice.since = "2026-12-01";
  BoardQuery query;
  query.limit = 2;
  query.offset = 2;
  Board board;
  board.totalPlayers = 5;
  const std::string html =
      renderLeaderboardPage(PageSettings(), choice, 20800, query, board, {20771, 30}, {});
  EXPECT_EQ(pageHrefs(html), (std::vector<std::string>{"/?since=2026-12-01&offset=0&limit=2",
                                                       "/?since=2026-12-01&offset=4&limit=2"}));
}

// Events as the store lists them (the latest start first): readers get those
// not ended first, the ended ones last, a page at a time.
TEST(CollectorPage, EndedEventsComeLastAPageAtATime) {
  const std::int64_t now = 1000000;
  const std::vector<Event> listed = {
      {1, "Next", now + 10, now + 20, {}, ""},   {2, "Ended late", now - 5, now, {}, ""},
      {3, "Running", now - 10, now + 1, {}, ""}, {4, "Ended", now - 30, now - 20, {}, ""},
      {5, "Long", now - 40, now + 40, {}, ""},
  };
  const struct {
    std::int64_t limit, offset;
    std::vector<std::int64_t> ids;
    const char* previous;
    const char* next;
  } rows[] = {
      {100, 0, {1, 3, 5, 2, 4}, "-", "-"},
      {5, 0, {1, 3, 5, 2, 4}, "-", "-"},
      {4, 0, {1, 3, 5, 2}, "-", "/events?offset=4&limit=4"},
      {2, 2, {5, 2}, "/events?offset=0&limit=2", "/events?offset=4&limit=2"},
      {2, 4, {4}, "/events?offset=2&limit=2", "-"},
      {2, 5, {}, "/events?offset=3&limit=2", "-"},
  };
  for (const auto& row : rows) {
    BoardQuery query;
    query.limit = row.limit;
    query.offset = row.offset;
    std::vector<std::int64_t> ids;
    const std::vector<Event> page = eventsPage(listed, now, query);
    for (const Event& event : page) ids.push_back(event.id);
    EXPECT_EQ(ids, row.ids) << row.limit << " " << row.offset;
    const std::string html = renderEventsPage(PageSettings(), page, now, query, 5);
    EXPECT_EQ(pageHrefs(html), (std::vector<std::string>{row.previous, row.next}))
        << row.limit << " " << row.offset;
  }
}

TEST(CollectorPage, ARunningEventsPageReloadsItselfEveryMinute) {
  const Event event{7, "Convoy", 1000000, 2000000, {}, ""};
  const struct {
    std::int64_t now;
    bool reloads;
  } rows[] = {{999999, false}, {1000000, true}, {1999999, true}, {2000000, false}};
  for (const auto& row : rows) {
    const std::string html = renderEventPage(PageSettings(), event, row.now, BoardQuery(), Board());
    EXPECT_EQ(html.find("<meta http-equiv=\"refresh\" content=\"60\">") != std::string::npos,
              row.reloads)
        << row.now;
  }
}

}  // namespace
