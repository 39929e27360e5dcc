#include "ops/events.h"

#include <iostream>

#include "core/text.h"
#include "ops/command.h"

namespace collector {

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

int prepareEventCommand(EventCommands& events) {
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
    std::cout << event.id << "\n";
    return 0;
  }
  if (events.remove->parsed()) {
    if (!store.removeEvent(events.id, error)) return failure(1, error);
    std::cout << "removed event " << events.id << "\n";
    return 0;
  }
  std::vector<Event> all;
  if (!store.listEvents(all, error)) return failure(1, error);
  std::cout << "id\tstart\tend\tservers\tname\tdescription\n";
  for (const Event& event : all) {
    std::cout << event.id << '\t' << isoTime(event.startMs) << '\t' << isoTime(event.endMs) << '\t'
              << (event.servers.empty() ? "all" : joinServers(event.servers)) << '\t'
              << terminalSafe(event.name) << '\t' << terminalSafe(event.description) << '\n';
  }
  return 0;
}

}  // namespace collector
