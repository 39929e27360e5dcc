// What a chat message may carry, a player's milestones (the store records
// them with the reports that reach them) and the JSON body that incoming
// webhooks of Discord and compatible chat servers take. The week's and the
// events' results, and their delivery: announce/. Pure functions: no I/O,
// no clock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// Counted all-time miles at which a player's milestone is announced.
inline constexpr std::array<std::int64_t, 5> milestoneMiles = {1000, 5000, 10000, 50000, 100000};

// The milestones passed when a player's counted all-time miles go from
// `before` to `after`: each one with before < miles <= after, compared in
// whole millionths of a mile as the totals add them.
std::vector<std::int64_t> milestonesPassed(double before, double after);

// Text from a player (a name, a truck) or the operator (an event's name) made
// inert in a chat message: the chat's markup (* _ ~ ` | > # [ ] ( ) and the
// backslash) escaped with a backslash, a zero-width space after every @ so
// that no @everyone, @here or <@id> mentions anyone, one between the colon
// and the // of a URL (https://...) so that the chat neither links nor
// previews it, and control characters (C0, DEL, C1, bidirectional controls)
// dropped.
std::string chatSafe(const std::string& text);

// A milestone's message, the name passed through chatSafe, with a link to
// the player's page on the service's public URL `publicUrl` (none when it
// is "").
std::string milestoneMessage(const std::string& player, std::int64_t miles,
                             const std::string& publicUrl = "");
// "\n<URL>": a link on a line of its own, in the brackets that keep the chat
// from previewing it; nothing for "".
std::string linkLine(const std::string& url);
// The JSON body of a webhook post: the message as `content`, and
// `allowed_mentions` that lets it ping no one whatever it says.
std::string webhookBody(const std::string& content);

}  // namespace collector
