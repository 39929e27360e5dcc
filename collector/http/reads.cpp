#include "http/reads.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "board/board.h"
#include "board/cache.h"
#include "board/events.h"
#include "core/calendar.h"
#include "core/clock.h"
#include "page/page.h"

namespace collector {

namespace {

// The query's parameters, as the board reads them.
ParamReader paramsOf(const HttpRequest& request) {
  return [&request](const std::string& name, std::string& value) {
    const std::string* found = request.param(name);
    if (found) value = *found;
    return found != nullptr;
  };
}

// What the cache rendered, as sent: a page or a JSON answer that a proxy in
// front may serve again for a few seconds, compressed for a client that takes
// gzip when the cache kept it so. Its body is sent from where the cache keeps
// it, however many readers ask for it at once.
HttpAnswer answerOf(const std::shared_ptr<const Rendered>& rendered, bool gzip) {
  const bool compressed = gzip && !rendered->gzipped.empty();
  HttpAnswer answer{rendered->status,
                    rendered->contentType,
                    {},
                    {},
                    std::shared_ptr<const std::string>(
                        rendered, compressed ? &rendered->gzipped : &rendered->body)};
  if (rendered->status == 200) answer.headers.emplace_back("Cache-Control", "max-age=5");
  if (!rendered->gzipped.empty()) answer.headers.emplace_back("Vary", "Accept-Encoding");
  if (compressed) answer.headers.emplace_back("Content-Encoding", "gzip");
  return answer;
}

// eventsJson's object of a page of the events, with "total_events" after
// "events".
std::string eventsPageJson(const std::vector<Event>& shown, std::int64_t nowMs,
                           std::int64_t total) {
  std::string json = eventsJson(shown, nowMs);
  json.erase(json.rfind('}'));
  return json + ",\"total_events\":" + std::to_string(total) + "}\n";
}

BoardCache::Done replyWith(Reply reply, bool gzip, const char* unavailable = "board unavailable") {
  return [reply = std::move(reply), gzip, unavailable](BoardAnswer answer,
                                                       std::shared_ptr<const Rendered> rendered) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, unavailable));
    reply(answerOf(rendered, gzip));
  };
}

// The player's answer from `view`; a page lists `places`.
void playerView(Service& service, ViewRequest view, bool page, std::int64_t today,
                const std::string& name, const PeriodChoice& choice, const DaySpan& span,
                std::shared_ptr<const std::vector<EventPlace>> places, BoardCache::Done done) {
  service.boards().view(
      std::move(view),
      [&service, page, today, name, choice, span, places](const Sources& sources) -> Rendered {
        const std::string missing = "no player named '" + name + "'";
        if (!sources.player->found) {
          if (!page) return {404, "application/json", jsonAnswer(404, missing).body};
          return {404, "text/html; charset=utf-8",
                  renderMissingPage(service.options().page, missing)};
        }
        PlayerView player = sources.player->view;
        player.totals.playerName = name;
        for (const LeaderboardRow& row : *sources.board) {
          if (row.playerName == name) player.totals = row;
        }
        if (!page) return {200, "application/json", playerJson(name, player)};
        return {
            200, "text/html; charset=utf-8",
            renderPlayerPage(service.options().page, choice, today, name, player, span, *places)};
      },
      std::move(done));
}

}  // namespace

void answerBoard(Service& service, const HttpRequest& request, bool page, Reply reply) {
  const std::int64_t today = dayOf(wallClockMs());
  BoardQuery query;
  PeriodChoice choice;
  std::string error;
  if (!parseBoardQuery(paramsOf(request), today, query, choice, error)) {
    return reply(jsonAnswer(400, error));
  }
  const DaySpan span = chartSpan(choice.period, today);
  ViewRequest view;
  view.tabPeriod = choice.tab >= 0;
  // A tab as its link shows it, not paged or searched, draws on the tabs' share.
  const bool usual = view.tabPeriod && query.offset == 0 && query.limit == BoardQuery().limit &&
                     query.player.empty();
  view.share = usual ? Share::tabs : Share::others;
  view.board = query.period;
  if (page) view.days = span.period();
  view.key = std::string(page ? "page " : "board ") + choice.since + " " + choice.until + " " +
             std::to_string(query.limit) + " " + std::to_string(query.offset) + " " + query.player;
  view.stamp = std::to_string(today);
  const auto render = [&service, page, today, query, choice, span](
                          std::shared_ptr<const Event> next, std::int64_t now) {
    return [&service, page, today, query, choice, span, next,
            now](const Sources& sources) -> Rendered {
      Board board;
      sliceBoard(*sources.board, query, board);
      if (!page) return {200, "application/json", boardJson(board)};
      return {200, "text/html; charset=utf-8",
              renderLeaderboardPage(service.options().page, choice, today, query, board, span,
                                    *sources.days, next.get(), now)};
    };
  };
  const bool gzip = request.acceptsGzip();
  if (!page) {
    return service.boards().view(std::move(view), render(nullptr, 0),
                                 replyWith(std::move(reply), gzip));
  }
  // The page names the running or next event (and without it when the
  // events cannot be read); what it says of it is part of the answer's stamp.
  service.events().list([&service, view, render, gzip, reply = std::move(reply)](
                            BoardAnswer answer,
                            std::shared_ptr<const std::vector<Event>> events) mutable {
    const std::int64_t now = service.events().nowMs();
    const Event* found = answer == BoardAnswer::ok ? runningOrNextEvent(*events, now) : nullptr;
    std::shared_ptr<const Event> next = found ? std::make_shared<Event>(*found) : nullptr;
    if (next) {
      view.stamp += " event " + std::to_string(next->id) + " " + next->name + " " +
                  eventStateText(*next, now) + " " + std::to_string(next->endMs);
    }
    service.boards().view(std::move(view), render(next, now), replyWith(std::move(reply), gzip));
  });
}

void answerPlayer(Service& service, const HttpRequest& request, const std::string& name, bool page,
                  Reply reply) {
  const std::int64_t today = dayOf(wallClockMs());
  PeriodChoice choice;
  if (!choosePeriod(request.param("since"), request.param("until"), today, choice)) {
    return reply(jsonAnswer(400, "since and until are dates, YYYY-MM-DD"));
  }
  const DaySpan span = chartSpan(choice.period, today);
  ViewRequest view;
  view.share = Share::players;
  view.tabPeriod = choice.tab >= 0;
  view.board = choice.period;
  view.player = name;
  view.playerDays = span.period();
  view.key = std::string(page ? "player page " : "player ") + choice.since + " " + choice.until +
             " " + name;
  view.stamp = std::to_string(today);
  BoardCache::Done done = replyWith(std::move(reply), request.acceptsGzip());
  if (!page)
    return playerView(service, std::move(view), false, today, name, choice, span, {}, done);
  // The page lists the events the player drove in (none when the events
  // cannot be read); they are part of the answer's stamp.
  service.events().places(name, [&service, view, today, name, choice, span, done = std::move(done)](
                                    BoardAnswer answer,
                                    const std::vector<EventPlace>& places) mutable {
    auto listed = std::make_shared<const std::vector<EventPlace>>(
        answer == BoardAnswer::ok ? places : std::vector<EventPlace>());
    for (const EventPlace& place : *listed) {
      view.stamp += " event " + std::to_string(place.event.id) + " " + place.event.name + " " +
                  std::to_string(place.row.rank) + " " + std::to_string(place.row.miles) + " " +
                  std::to_string(place.row.seconds);
    }
    playerView(service, std::move(view), true, today, name, choice, span, listed, std::move(done));
  });
}

void answerEvents(Service& service, const HttpRequest& request, bool page, Reply reply) {
  BoardQuery query;
  PeriodChoice ignored;
  std::string error;
  if (!parseBoardQuery(paramsOf(request), dayOf(wallClockMs()), query, ignored, error)) {
    return reply(jsonAnswer(400, error));
  }
  const bool gzip = request.acceptsGzip();
  service.events().list([&service, page, query, gzip, reply = std::move(reply)](
                            BoardAnswer answer, std::shared_ptr<const std::vector<Event>> events) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, "events unavailable"));
    // Rendered on the cache's threads, named by the page asked for, stamped
    // with the list, how many have ended (which orders the list: ended ones
    // only grow) and what the state of each event on the page says now.
    const std::int64_t now = service.events().nowMs();
    const auto shown = std::make_shared<const std::vector<Event>>(eventsPage(*events, now, query));
    const auto ended = std::count_if(events->begin(), events->end(), [now](const Event& event) {
      return eventState(event, now) == EventState::ended;
    });
    ViewRequest view;
    view.key = std::string(page ? "events page " : "events ") + std::to_string(query.limit) + " " +
               std::to_string(query.offset);
    view.stamp = std::to_string(service.eventVersions().of(0, events)) + " " +
                 std::to_string(ended);
    for (const Event& event : *shown) view.stamp += " " + eventStateText(event, now);
    const auto total = static_cast<std::int64_t>(events->size());
    service.boards().view(
        std::move(view),
        [&service, page, query, shown, total, now](const Sources&) -> Rendered {
          if (!page) return {200, "application/json", eventsPageJson(*shown, now, total)};
          return {200, "text/html; charset=utf-8",
                  renderEventsPage(service.options().page, *shown, now, query, total)};
        },
        replyWith(reply, gzip, "events unavailable"));
  });
}

namespace {

// One event's answer from its board `rows`, rendered on the cache's threads,
// named by the event and the page asked for, and stamped with the board's
// value, the event as the list has it and what its state says now.
void eventView(Service& service, bool page, const BoardQuery& query, bool gzip, const Event& event,
               std::shared_ptr<const std::vector<LeaderboardRow>> rows, Reply reply) {
  const std::int64_t now = service.events().nowMs();
  ViewRequest view;
  view.key = std::string(page ? "event page " : "event ") + std::to_string(event.id) + " " +
             std::to_string(query.limit) + " " + std::to_string(query.offset);
  view.stamp = std::to_string(service.eventVersions().of(event.id, rows)) + " " +
               eventStateText(event, now) + " " + std::to_string(event.startMs) + " " +
               std::to_string(event.endMs) + " " + joinServers(event.servers) + " " + event.name +
               "\n" + event.description;
  service.boards().view(
      std::move(view),
      [&service, page, query, event, rows, now](const Sources&) -> Rendered {
        Board board;
        sliceBoard(*rows, query, board);
        if (!page) return {200, "application/json", eventJson(event, now, board)};
        return {200, "text/html; charset=utf-8",
                renderEventPage(service.options().page, event, now, query, board)};
      },
      replyWith(std::move(reply), gzip));
}

}  // namespace

void answerEvent(Service& service, const HttpRequest& request, const std::string& id, bool page,
                 Reply reply) {
  BoardQuery query;
  PeriodChoice ignored;
  std::string error;
  if (!parseBoardQuery(paramsOf(request), dayOf(wallClockMs()), query, ignored, error)) {
    return reply(jsonAnswer(400, error));
  }
  // An id as the collector writes it (decimal, no leading zero), else there
  // is no such event: one event has one address.
  std::int64_t number = 0;
  if (!id.empty() && id.size() <= 18 && id[0] != '0' &&
      id.find_first_not_of("0123456789") == std::string::npos) {
    number = std::stoll(id);
  }
  const bool gzip = request.acceptsGzip();
  service.events().board(number, [&service, page, query, gzip, reply = std::move(reply)](
                                     BoardAnswer answer, bool found, const Event& event,
                                     std::shared_ptr<const std::vector<LeaderboardRow>> rows) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, "board unavailable"));
    const std::string missing = "no such event";
    if (!found && !page) return reply(jsonAnswer(404, missing));
    if (!found) {
      return reply({404,
                    "text/html; charset=utf-8",
                    renderMissingPage(service.options().page, missing),
                    {}});
    }
    eventView(service, page, query, gzip, event, std::move(rows), reply);
  });
}

}  // namespace collector
