#include "ops/events.h"

#include <iostream>

#include "core/text.h"
#include "ops/command.h"
#include "ops/staff_commands.h"

namespace collector {

namespace {

// The most events `event list` prints at once.
constexpr std::int64_t maxListedEvents = 1000000;

}  // namespace

void addEventCommands(CLI::App& app, EventCommands& events, std::string& db) {
  auto* command = app.add_subcommand(
      "event", "community events: a window of time on some servers with a board of its own");
  command->require_subcommand(1);
  events.add = command->add_subcommand("add", "add an event and print its id");
  events.add->add_option("NAME", events.name, "the event's name (the rules of a player's name)")
      ->required();
  events.add
      ->add_option("--start", events.start,
                   "UTC, ISO 8601: 2026-12-11T19:00Z; reports that arrive from then on count")
      ->required();
  events.add
      ->add_option("--end", events.end, "UTC, ISO 8601; reports that arrive from then on do not")
      ->required();
  events.add->add_option("--server", events.servers,
                         "a server id of this build (repeatable; default: all five)");
  events.add->add_option("--description", events.description, "a line for the event's page");
  events.list = command->add_subcommand("list", "list the events, the latest start first");
  events.list->add_option("--limit", events.limit,
                          "list at most this many, 1 to " + std::to_string(maxListedEvents) +
                              " (default 100); a line on standard error says how many more "
                              "there are");
  events.list->add_option("--since", events.since,
                          "UTC, ISO 8601: list only the events that end at or after it");
  events.remove = command->add_subcommand("remove", "remove an event (its reports stay)");
  events.remove->add_option("ID", events.id, "the event's id, as `event list` shows it")
      ->required()
      ->transform(idCheck());
  for (CLI::App* sub : {events.add, events.list, events.remove}) {
    addDatabaseOption(*sub, db);
  }
}

bool eventCommandGiven(const EventCommands& events) {
  return events.add && (events.add->parsed() || events.list->parsed() || events.remove->parsed());
}

namespace {

// Checks `event list`'s options.
int prepareListCommand(EventCommands& events) {
  const std::string& limit = events.limit;
  if (limit.empty() || limit.size() > 7 ||
      limit.find_first_not_of("0123456789") != std::string::npos || std::stoll(limit) < 1 ||
      std::stoll(limit) > maxListedEvents) {
    return failure(2, "--limit wants a whole number from 1 to " + std::to_string(maxListedEvents) +
                          ", got '" + terminalSafe(limit) + "'");
  }
  events.listLimit = std::stoll(limit);
  if (!events.since.empty() && !parseUtcTime(events.since, events.sinceMs)) {
    return failure(2, "--since wants a UTC time in ISO 8601, as 2026-12-11T19:00Z, got '" +
                          terminalSafe(events.since) + "'");
  }
  return 0;
}

}  // namespace

int prepareEventCommand(EventCommands& events) {
  if (events.list->parsed()) return prepareListCommand(events);
  if (!events.add->parsed()) return 0;
  Event& event = events.event;
  event.name = events.name;
  event.servers = events.servers;
  event.description = events.description;
  for (const auto& [option, text, ms] : {std::make_tuple("--start", &events.start, &event.startMs),
                                         std::make_tuple("--end", &events.end, &event.endMs)}) {
    if (!parseUtcTime(*text, *ms)) {
      return failure(2, std::string(option) +
                            " wants a UTC time in ISO 8601, as 2026-12-11T19:00Z, got '" +
                            terminalSafe(*text) + "'");
    }
  }
  const std::string problem = eventProblem(event);
  return problem.empty() ? 0 : failure(2, "no event added: " + terminalSafe(problem));
}

int runEventCommand(Store& store, const EventCommands& events) {
  std::string error;
  if (events.add->parsed()) {
    Event event = events.event;
    if (!store.addEvent(event, wallClockMs(), error)) return failure(1, error);
    auditShell(store, "event_add", "event " + std::to_string(event.id) + " " + event.name);
    std::cout << event.id << "\n";
    return 0;
  }
  if (events.remove->parsed()) {
    if (!store.removeEvent(events.id, error)) return failure(1, error);
    auditShell(store, "event_remove", "event " + std::to_string(events.id));
    std::cout << "removed event " << events.id << "\n";
    return 0;
  }
  std::vector<Event> all;
  if (!store.listEvents(all, error)) return failure(1, error);
  std::cout << "id\tstart\tend\tservers\tname\tdescription\n";
  std::int64_t listed = 0, more = 0;
  for (const Event& event : all) {
    if (!events.since.empty() && event.endMs < events.sinceMs) continue;
    if (listed == events.listLimit) {
      ++more;
      continue;
    }
    ++listed;
    std::cout << event.id << '\t' << isoTime(event.startMs) << '\t' << isoTime(event.endMs) << '\t'
              << (event.servers.empty() ? "all" : joinServers(event.servers)) << '\t'
              << terminalSafe(event.name) << '\t' << terminalSafe(event.description) << '\n';
  }
  if (more > 0) {
    std::cerr << counted(more, "more event") << " not listed: --limit or --since lists them\n";
  }
  return 0;
}

}  // namespace collector
