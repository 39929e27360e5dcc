// The read routes: the leaderboard, a player, the events and one event, each
// as a page or as JSON. The boards come from the service's caches, which
// compute and render them off the loops; an answer the cache rendered is
// sent from where it keeps it.
//
// An event's page and JSON are rendered where the event boards hand them
// over (on the caller's thread when the board is at hand): the board cache's
// answers are named by the versions of the values they were rendered from,
// and an event's board is not one of those values.
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
void answerEvents(Service& service, bool page, Reply reply);
// GET /events/ID and /api/v1/events/ID.
void answerEvent(Service& service, const HttpRequest& request, const std::string& id, bool page,
                 Reply reply);

}  // namespace collector
