// The read routes: the leaderboard, a player, the events and one event, each
// as a page or as JSON. The boards come from the service's caches; every
// answer is rendered, and compressed, on the board cache's threads, never on
// a loop, and sent from where the cache keeps it. The events' answers are
// named in the cache by the event boards' values (eventVersions) they were
// rendered from.
#pragma once

#include <string>

#include "http/message.h"
#include "http/service.h"

namespace collector {

// GET / and /api/v1/leaderboard.
void answerBoard(Service& service, const HttpRequest& request, bool page, Reply reply);
// GET /players/NAME and /api/v1/players/NAME.
void answerPlayer(Service& service, const HttpRequest& request, const std::string& name, bool page,
                  Reply reply);
// GET /events and /api/v1/events.
void answerEvents(Service& service, const HttpRequest& request, bool page, Reply reply);
// GET /events/ID and /api/v1/events/ID.
void answerEvent(Service& service, const HttpRequest& request, const std::string& id, bool page,
                 Reply reply);

}  // namespace collector
