#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/event_log.h"
#include "app/server_options.h"
#include "net/server/admin_http.h"

namespace skirmish {

class Admin;

// A token shorter than this is refused: it would be guessed.
constexpr size_t kShortestAdminToken = 16;

// The tokens file: a line per token, "TOKEN ROLE NAME" (NAME may have blanks), ROLE
// admin or moderator; blank lines and lines starting with # say nothing. False, with
// the line and why in error, at the first line that is none of those.
bool ParseAdminTokens(std::istream& in, std::vector<AdminToken>& tokens, std::string& error);

// What operators watch and how they reach the match beyond its console: the event
// and audit logs, and the HTTP endpoint's tokens, all read or opened before the
// questions so that a wrong path stops the start at once.
struct Operations {
    std::unique_ptr<EventLog> events;
    std::unique_ptr<EventLog> audit;
    std::vector<AdminToken> tokens;
};
// Null, said on the console, when a log cannot be opened or the tokens read.
std::optional<Operations> OpenOperations(const ServerOptions& options, std::function<int64_t()> wallMs);
// The logs and the HTTP endpoint given to the operators' console; false, said on the
// console, when the endpoint cannot listen.
bool ConnectOperations(Admin& admin, Operations& operations, const ServerOptions& options);

} // namespace skirmish
