#include "http/intake.h"

#include <iostream>
#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/keys.h"
#include "core/report.h"
#include "core/text.h"
#include "http/committer.h"
#include "http/rate_limit.h"

namespace collector {

namespace {

// Whom a report's answer goes to, and what its count and log line name.
struct ReportAnswer {
  Service& service;
  Reply reply;
  std::string address;
  std::string player;
  std::string keyHash;

  // Counts the answer and logs it when it refused the report (with a
  // Retry-After header of that many seconds, when not empty).
  void operator()(int status, const std::string& message,
                  const std::string& retryAfter = "") const {
    service.metrics().reportAnswered(status);
    if (status >= 400 && status != 503) {
      std::cerr << service.refusals().refused(wallClockMs(), status, message, player, keyHash,
                                              address);
    }
    HttpAnswer answer = jsonAnswer(status, message);
    if (!retryAfter.empty()) answer.headers.emplace_back("Retry-After", retryAfter);
    reply(std::move(answer));
  }
};

// The body's player_name, when the body is JSON with one: it names the player
// in the log even when the rest of the body was refused.
std::string bodyPlayerName(const std::string& text) {
  const auto body = nlohmann::json::parse(text, nullptr, false);
  auto name = body.is_object() ? body.find("player_name") : body.end();
  return body.is_object() && name != body.end() && name->is_string() ? name->get<std::string>()
                                                                     : std::string();
}

// Reads the body into `report`; true when it was refused (and answered).
bool refusedBody(const std::string& body, IncomingReport& report, ReportAnswer& answer) {
  const BodyCheck check = parseReportBody(body, report);
  if (check == BodyCheck::ok) return false;
  // Not UTF-8: the name's bytes as they came (\xHH beyond ASCII), as a
  // Latin-1 "M\xFCller" is a player's ini saved as ANSI.
  answer.player =
      check == BodyCheck::notUtf8 ? rawStringMember(body, "player_name", 64) : bodyPlayerName(body);
  switch (check) {
    case BodyCheck::malformed:
      answer(400, "body is not a valid report");
      break;
    case BodyCheck::notUtf8:
      answer(400, "body is not UTF-8 (player_name \"" + escapedBytes(answer.player) +
                      "\"): a player's ini saved in another encoding, such as ANSI, "
                      "must be saved as UTF-8");
      break;
    case BodyCheck::unknownServer:
      answer(422, "server_id is not a known server");
      break;
    case BodyCheck::tooManyMiles:
      answer(400, "miles_delta is above the " + shortestNumber(maxMilesDelta) +
                      " miles a report may carry");
      break;
    case BodyCheck::ok:
      break;
  }
  return true;
}

// Hands the report to the group commit, taken from its key's rate at
// `takenMs`; answers once its batch has been committed or has failed.
void commit(IncomingReport report, std::int64_t takenMs, ReportAnswer answer) {
  const bool speedFlag = !report.flag.empty();
  Committer& committer = answer.service.committer();
  committer.add(std::move(report), [answer = std::move(answer), takenMs, speedFlag](
                                       bool stored, AddOutcome outcome) {
    Service& service = answer.service;
    if (!stored || (outcome != AddOutcome::stored && outcome != AddOutcome::storedFlagged)) {
      service.rate().giveBack(answer.keyHash, takenMs);
    }
    if (!stored) return answer(503, "store unavailable");
    switch (outcome) {
      case AddOutcome::stored:
        return answer(200, "stored");
      case AddOutcome::storedFlagged:
        service.metrics().reportFlagged(speedFlag ? flagSpeed : flagWallTime);
        return answer(200, "stored, flagged as implausible");
      case AddOutcome::unknownKey:
        return answer(401, "unknown or revoked key");
      case AddOutcome::wrongPlayer:
        return answer(403, "player_name does not belong to this key");
      case AddOutcome::failed:
        return answer(503, "store unavailable");
    }
  });
}

}  // namespace

void takeReport(Service& service, const HttpRequest& request, Reply reply) {
  IncomingReport report;
  report.receivedMs = wallClockMs();
  ReportAnswer answer{service, std::move(reply), request.clientAddress, "", ""};
  const std::string key = request.header("x-vorn-key");
  if (key.empty()) {
    answer.player = bodyPlayerName(request.body);
    return answer(401, "missing X-VORN-Key");
  }
  report.keyHash = answer.keyHash = hashKey(key);
  if (refusedBody(request.body, report, answer)) return;
  answer.player = report.playerName;
  const std::int64_t takenMs = steadyClockMs();
  if (const std::int64_t wait = service.rate().take(report.keyHash, takenMs)) {
    return answer(429, "too many reports from this key", std::to_string(wait));
  }
  const double limit = service.options().speedLimits.forServer(report.serverId);
  if (exceedsSpeed(report.miles, report.seconds, limit)) {
    report.flag = flagSpeed;
    report.flagLimit = limit;
  }
  report.checkWallTime = service.options().wallTimeCheck;
  commit(std::move(report), takenMs, std::move(answer));
}

void reportRefusedAtFront(Service& service, const std::string& clientAddress, int status,
                          const std::string& reason) {
  service.metrics().reportAnswered(status);
  std::cerr << service.refusals().refused(wallClockMs(), status, reason, "", "", clientAddress);
}

void reportPostedElsewhere(Service& service, const HttpRequest& request, int status) {
  const std::string key = request.header("x-vorn-key");
  const std::string reason = std::string("a report is posted to ") + reportRoute +
                             " (is the sender's CollectorURL wrong?)";
  std::cerr << service.refusals().refused(
      wallClockMs(), status, reason, bodyPlayerName(request.body), key.empty() ? "" : hashKey(key),
      request.clientAddress, request.rawPath);
}

}  // namespace collector
