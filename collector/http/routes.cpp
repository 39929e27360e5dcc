#include "http/routes.h"

#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>

#include "board/board.h"
#include "board/cache.h"
#include "board/events.h"
#include "core/calendar.h"
#include "core/clock.h"
#include "core/keys.h"
#include "core/report.h"
#include "core/text.h"
#include "http/announcer.h"
#include "http/committer.h"
#include "http/health.h"
#include "http/rate_limit.h"
#include "page/page.h"

namespace collector {

namespace {

const char* const reportPath = "/api/v1/telemetry";
const char* const boardPath = "/api/v1/leaderboard";
const char* const boardPagePath = "/";
const char* const healthPath = "/healthz";
// A player's page and its JSON: the prefix, then the player's name.
const std::string playerPagePrefix = "/players/";
const std::string playerJsonPrefix = "/api/v1/players/";
// The events, and one event: the prefix, then its id.
const char* const eventsPagePath = "/events";
const char* const eventsJsonPath = "/api/v1/events";
const std::string eventPagePrefix = "/events/";
const std::string eventJsonPrefix = "/api/v1/events/";

// The query's parameters, as the board reads them.
ParamReader paramsOf(const HttpRequest& request) {
  return [&request](const std::string& name, std::string& value) {
    const std::string* found = request.param(name);
    if (found) value = *found;
    return found != nullptr;
  };
}

}  // namespace

Routes::Routes(Store& store, const ServeOptions& options, Metrics& metrics)
    : store_(store),
      options_(options),
      metrics_(metrics),
      rate_(std::make_unique<RateLimit>(options.maxReportsPerMinute)),
      health_(std::make_unique<Health>(store)),
      committer_(std::make_unique<Committer>(store, metrics_, *health_)) {
  BoardCache::Limits limits;
  limits.reuse = std::chrono::milliseconds(options.boardReuseMs);
  limits.maxEntries = static_cast<std::size_t>(options.boardCacheEntries);
  limits.maxBytes = static_cast<std::size_t>(options.boardCacheMb) << 20;
  limits.computed = [this](double seconds, bool ok) {
    metrics_.boardComputed(seconds);
    if (!ok) metrics_.storeFailed();
  };
  boards_ = std::make_unique<BoardCache>(store, limits);
  EventBoards::Limits eventLimits;
  eventLimits.reuse = limits.reuse;
  eventLimits.computed = limits.computed;
  events_ = std::make_unique<EventBoards>(store, eventLimits, boards_->reviews());
  if (!options.webhooks.empty()) {
    announcer_ = std::make_unique<Announcer>(store, options.webhooks, metrics_);
  }
}

Routes::~Routes() = default;

namespace {

// What follows `prefix` in the path, decoded, when the path as sent starts
// with it and goes on. (The prefix holds no '%', so it is the same decoded.)
bool nameAfterPrefix(const HttpRequest& request, const std::string& prefix, std::string& name) {
  const std::string& raw = request.rawPath;
  if (raw.size() <= prefix.size() || raw.compare(0, prefix.size(), prefix) != 0) return false;
  name = request.path.substr(prefix.size());
  return true;
}

}  // namespace

// Routes are matched on the path as sent: an encoded character, a slash
// (%2F) above all, never makes another route's path; only a player's name,
// after its route's prefix, is decoded.
void Routes::handle(const HttpRequest& request, Reply reply) {
  const bool read = request.method == "GET" || request.method == "HEAD";
  std::string name;
  const bool playerPage = nameAfterPrefix(request, playerPagePrefix, name);
  if (playerPage || nameAfterPrefix(request, playerJsonPrefix, name)) {
    if (!read) return reply(jsonAnswer(405, "method not allowed"));
    return player(request, name, playerPage, std::move(reply));
  }
  const bool eventPage = nameAfterPrefix(request, eventPagePrefix, name);
  if (eventPage || nameAfterPrefix(request, eventJsonPrefix, name)) {
    if (!read) return reply(jsonAnswer(405, "method not allowed"));
    return event(request, name, eventPage, std::move(reply));
  }
  const std::string& path = request.rawPath;
  if (path == eventsPagePath || path == eventsJsonPath) {
    if (!read) return reply(jsonAnswer(405, "method not allowed"));
    return events(path == eventsPagePath, std::move(reply));
  }
  if (path == reportPath) {
    if (request.method == "POST") return report(request, std::move(reply));
  } else if (path == boardPath || path == boardPagePath) {
    if (read) return board(request, path == boardPagePath, std::move(reply));
  } else if (path == healthPath) {
    if (read) {
      const std::string problem = health_->problem();
      return reply(problem.empty() ? jsonAnswer(200, "ok") : jsonAnswer(503, problem));
    }
  } else {
    return reply(jsonAnswer(404, "no such page"));
  }
  reply(jsonAnswer(405, "method not allowed"));
}

namespace {

// The body's player_name, when the body is JSON with one: it names the player
// in the log even when the rest of the body was refused.
std::string bodyPlayerName(const std::string& text) {
  const auto body = nlohmann::json::parse(text, nullptr, false);
  auto name = body.is_object() ? body.find("player_name") : body.end();
  return body.is_object() && name != body.end() && name->is_string() ? name->get<std::string>()
                                                                     : std::string();
}

}  // namespace

void Routes::report(const HttpRequest& request, Reply reply) {
  IncomingReport report;
  report.receivedMs = wallClockMs();
  const std::string& address = request.clientAddress;
  const std::string key = request.header("x-vorn-key");
  if (key.empty()) {
    return finishReport(reply, 401, "missing X-VORN-Key", bodyPlayerName(request.body), "",
                        address);
  }
  report.keyHash = hashKey(key);
  switch (parseReportBody(request.body, report)) {
    case BodyCheck::malformed:
      return finishReport(reply, 400, "body is not a valid report", bodyPlayerName(request.body),
                          report.keyHash, address);
    case BodyCheck::notUtf8: {
      // The name's bytes as they came (\xHH beyond ASCII): a Latin-1 "M\xFCller"
      // is a player's ini saved as ANSI.
      const std::string name = rawStringMember(request.body, "player_name", 64);
      return finishReport(reply, 400,
                          "body is not UTF-8 (player_name \"" + escapedBytes(name) +
                              "\"): a player's ini saved in another encoding, such as ANSI, "
                              "must be saved as UTF-8",
                          name, report.keyHash, address);
    }
    case BodyCheck::unknownServer:
      return finishReport(reply, 422, "server_id is not a known server",
                          bodyPlayerName(request.body), report.keyHash, address);
    case BodyCheck::tooManyMiles:
      return finishReport(
          reply, 400,
          "miles_delta is above the " + shortestNumber(maxMilesDelta) + " miles a report may carry",
          bodyPlayerName(request.body), report.keyHash, address);
    case BodyCheck::ok:
      break;
  }
  const std::int64_t takenMs = steadyClockMs();
  if (const std::int64_t wait = rate_->take(report.keyHash, takenMs)) {
    return finishReport(reply, 429, "too many reports from this key", report.playerName,
                        report.keyHash, address, std::to_string(wait));
  }
  const double limit = options_.speedLimits.forServer(report.serverId);
  if (exceedsSpeed(report.miles, report.seconds, limit)) {
    report.flag = flagSpeed;
    report.flagLimit = limit;
  }
  report.checkWallTime = options_.wallTimeCheck;
  const bool speedFlag = !report.flag.empty();
  // What the answer's count and log line need once the committer calls back.
  const std::string keyHash = report.keyHash;
  const std::string player = report.playerName;
  committer_->add(std::move(report), [this, keyHash, player, address, takenMs, speedFlag,
                                      reply = std::move(reply)](bool stored, AddOutcome outcome) {
    if (!stored || (outcome != AddOutcome::stored && outcome != AddOutcome::storedFlagged)) {
      rate_->giveBack(keyHash, takenMs);
    }
    const auto finish = [&](int status, const char* message) {
      finishReport(reply, status, message, player, keyHash, address);
    };
    if (!stored) return finish(503, "store unavailable");
    switch (outcome) {
      case AddOutcome::stored:
        return finish(200, "stored");
      case AddOutcome::storedFlagged:
        metrics_.reportFlagged(speedFlag ? flagSpeed : flagWallTime);
        return finish(200, "stored, flagged as implausible");
      case AddOutcome::unknownKey:
        return finish(401, "unknown or revoked key");
      case AddOutcome::wrongPlayer:
        return finish(403, "player_name does not belong to this key");
      case AddOutcome::failed:
        return finish(503, "store unavailable");
    }
  });
}

void Routes::finishReport(const Reply& reply, int status, const std::string& message,
                          const std::string& player, const std::string& keyHash,
                          const std::string& address, const std::string& retryAfter) {
  metrics_.reportAnswered(status);
  if (status >= 400 && status != 503) {
    std::cerr << refusals_.refused(wallClockMs(), status, message, player, keyHash, address);
  }
  HttpAnswer answer = jsonAnswer(status, message);
  if (!retryAfter.empty()) answer.headers.emplace_back("Retry-After", retryAfter);
  reply(std::move(answer));
}

void Routes::refusedAtFront(const std::string& clientAddress, int status,
                            const std::string& reason) {
  metrics_.reportAnswered(status);
  std::cerr << refusals_.refused(wallClockMs(), status, reason, "", "", clientAddress);
}

namespace {

// What the cache rendered, as sent: a page or a JSON answer that a proxy in
// front may serve again for a few seconds, compressed for a client that takes
// gzip when the cache kept it so. Its body is sent from where the cache keeps
// it, however many readers ask for it at once.
HttpAnswer answerOf(const std::shared_ptr<const Rendered>& rendered, bool gzip = false) {
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

// One rendered for this request alone, sent the same way.
HttpAnswer answerOf(Rendered rendered) {
  return answerOf(std::make_shared<const Rendered>(std::move(rendered)));
}

BoardCache::Done replyWith(Reply reply, bool gzip) {
  return [reply = std::move(reply), gzip](BoardAnswer answer,
                                          std::shared_ptr<const Rendered> rendered) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, "board unavailable"));
    reply(answerOf(rendered, gzip));
  };
}

}  // namespace

void Routes::board(const HttpRequest& request, bool page, Reply reply) {
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
  view.key = std::string(page ? "page " : "board ") + std::to_string(today) + " " + choice.since +
             " " + choice.until + " " + std::to_string(query.limit) + " " +
             std::to_string(query.offset) + " " + query.player;
  const auto render = [this, page, today, query, choice, span](std::shared_ptr<const Event> next,
                                                               std::int64_t now) {
    return [this, page, today, query, choice, span, next, now](const Sources& sources) -> Rendered {
      Board board;
      sliceBoard(*sources.board, query, board);
      if (!page) return {200, "application/json", boardJson(board)};
      return {200, "text/html; charset=utf-8",
              renderLeaderboardPage(options_.page, choice, today, query, board, span, *sources.days,
                                    next.get(), now)};
    };
  };
  const bool gzip = request.acceptsGzip();
  if (!page) {
    return boards_->view(std::move(view), render(nullptr, 0), replyWith(std::move(reply), gzip));
  }
  // The page names the running or next event (and without it when the
  // events cannot be read); what it says of it is part of the answer's key.
  events_->list([this, view, render, gzip, reply = std::move(reply)](
                    BoardAnswer answer, std::shared_ptr<const std::vector<Event>> events) mutable {
    const std::int64_t now = events_->nowMs();
    const Event* found = answer == BoardAnswer::ok ? runningOrNextEvent(*events, now) : nullptr;
    std::shared_ptr<const Event> next = found ? std::make_shared<Event>(*found) : nullptr;
    if (next) {
      view.key += " event " + std::to_string(next->id) + " " + next->name + " " +
                  eventStateText(*next, now) + " " + std::to_string(next->endMs);
    }
    boards_->view(std::move(view), render(next, now), replyWith(std::move(reply), gzip));
  });
}

void Routes::player(const HttpRequest& request, const std::string& name, bool page, Reply reply) {
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
  view.key = std::string(page ? "player page " : "player ") + std::to_string(today) + " " +
             choice.since + " " + choice.until + " " + name;
  BoardCache::Done done = replyWith(std::move(reply), request.acceptsGzip());
  if (!page) return playerView(std::move(view), false, today, name, choice, span, {}, done);
  // The page lists the events the player drove in (none when the events
  // cannot be read); they are part of the answer's key.
  events_->places(name, [this, view, today, name, choice, span, done = std::move(done)](
                            BoardAnswer answer, const std::vector<EventPlace>& places) mutable {
    auto listed = std::make_shared<const std::vector<EventPlace>>(
        answer == BoardAnswer::ok ? places : std::vector<EventPlace>());
    for (const EventPlace& place : *listed) {
      view.key += " event " + std::to_string(place.event.id) + " " + place.event.name + " " +
                  std::to_string(place.row.rank) + " " + std::to_string(place.row.miles) + " " +
                  std::to_string(place.row.seconds);
    }
    playerView(std::move(view), true, today, name, choice, span, listed, std::move(done));
  });
}

void Routes::playerView(ViewRequest view, bool page, std::int64_t today, const std::string& name,
                        const PeriodChoice& choice, const DaySpan& span,
                        std::shared_ptr<const std::vector<EventPlace>> places,
                        BoardCache::Done done) {
  boards_->view(
      std::move(view),
      [this, page, today, name, choice, span, places](const Sources& sources) -> Rendered {
        const std::string missing = "no player named '" + name + "'";
        if (!sources.player->found) {
          if (!page) return {404, "application/json", jsonAnswer(404, missing).body};
          return {404, "text/html; charset=utf-8", renderMissingPage(options_.page, missing)};
        }
        PlayerView player = sources.player->view;
        player.totals.playerName = name;
        for (const LeaderboardRow& row : *sources.board) {
          if (row.playerName == name) player.totals = row;
        }
        if (!page) return {200, "application/json", playerJson(name, player)};
        return {200, "text/html; charset=utf-8",
                renderPlayerPage(options_.page, choice, today, name, player, span, *places)};
      },
      std::move(done));
}

void Routes::events(bool page, Reply reply) {
  events_->list([this, page, reply = std::move(reply)](
                    BoardAnswer answer, std::shared_ptr<const std::vector<Event>> events) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, "events unavailable"));
    const std::int64_t now = events_->nowMs();
    reply(answerOf(page ? Rendered{200, "text/html; charset=utf-8",
                                   renderEventsPage(options_.page, *events, now)}
                        : Rendered{200, "application/json", eventsJson(*events, now)}));
  });
}

void Routes::event(const HttpRequest& request, const std::string& id, bool page, Reply reply) {
  BoardQuery query;
  PeriodChoice ignored;
  std::string error;
  if (!parseBoardQuery(paramsOf(request), dayOf(wallClockMs()), query, ignored, error)) {
    return reply(jsonAnswer(400, error));
  }
  // A plain decimal id, else there is no such event.
  std::int64_t number = 0;
  if (!id.empty() && id.size() <= 18 && id.find_first_not_of("0123456789") == std::string::npos) {
    number = std::stoll(id);
  }
  events_->board(number, [this, page, query, reply = std::move(reply)](
                             BoardAnswer answer, bool found, const Event& event,
                             std::shared_ptr<const std::vector<LeaderboardRow>> rows) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, "board unavailable"));
    const std::string missing = "no such event";
    if (!found && !page) return reply(jsonAnswer(404, missing));
    if (!found) {
      return reply(
          {404, "text/html; charset=utf-8", renderMissingPage(options_.page, missing), {}});
    }
    Board board;
    sliceBoard(*rows, query, board);
    const std::int64_t now = events_->nowMs();
    reply(answerOf(page ? Rendered{200, "text/html; charset=utf-8",
                                   renderEventPage(options_.page, event, now, query, board)}
                        : Rendered{200, "application/json", eventJson(event, now, board)}));
  });
}

}  // namespace collector
