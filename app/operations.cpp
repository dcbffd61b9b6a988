// The event and audit logs and the operators' HTTP endpoint, opened at start.
#include "app/operations.h"

#include <sys/stat.h>

#include <fstream>

#include "app/admin.h"
#include "app/admin_commands.h"
#include "core/console.h"

namespace skirmish {

bool ParseAdminTokens(std::istream& in, std::vector<AdminToken>& tokens, std::string& error)
{
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::string_view rest = text;
        if (!rest.empty() && rest.back() == '\r')
            rest.remove_suffix(1);
        AdminToken token{std::string(TakeWord(rest)), std::string(TakeWord(rest)), std::string(rest)};
        if (token.token.empty() || token.token[0] == '#')
            continue;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (token.token.size() < kShortestAdminToken)
            return fail("a token needs at least " + std::to_string(kShortestAdminToken) + " characters");
        if (token.role != "admin" && token.role != "moderator")
            return fail("the role must be admin or moderator");
        if (token.name.empty())
            return fail("the token needs a name, for the audit");
        for (const AdminToken& earlier : tokens)
            if (earlier.token == token.token)
                return fail("this token is given twice");
        tokens.push_back(std::move(token));
    }
    return true;
}

namespace {

bool ReadTokens(const std::string& path, std::vector<AdminToken>& tokens)
{
    std::ifstream file(path);
    std::string error = "cannot be read";
    if (file && ParseAdminTokens(file, tokens, error) && !file.bad()) {
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && (info.st_mode & S_IROTH))
            ConsoleLine("Warning: the admin tokens in ", path, " can be read by every user of this host.");
        return true;
    }
    ConsoleLine("Cannot use the admin tokens in ", path, ": ", error, "; nothing was started.");
    return false;
}

std::unique_ptr<EventLog> OpenLog(const std::string& path, const char* what, std::function<int64_t()> wallMs,
                                  bool& failed)
{
    std::string error;
    std::unique_ptr<EventLog> log = OpenEventLog(path, std::move(wallMs), error);
    if (!log && !path.empty()) {
        ConsoleLine("Cannot open the ", what, ": ", error, "; nothing was started.");
        failed = true;
    }
    return log;
}

} // namespace

std::optional<Operations> OpenOperations(const ServerOptions& options, std::function<int64_t()> wallMs)
{
    Operations operations;
    bool failed = false;
    operations.events = OpenLog(options.eventLog, "event log", wallMs, failed);
    operations.audit = OpenLog(options.auditLog, "audit log", wallMs, failed);
    if (failed || (!options.adminTokens.empty() && !ReadTokens(options.adminTokens, operations.tokens)))
        return std::nullopt;
    return operations;
}

bool ConnectOperations(Admin& admin, Operations& operations, const ServerOptions& options)
{
    admin.logTo(operations.events.get(), operations.audit.get());
    if (options.adminHttpAddress.empty())
        return true;
    std::string error;
    if (!admin.link().listenHttp(options.adminHttpAddress, options.adminHttpPort, std::move(operations.tokens), error)) {
        ConsoleLine("Cannot open the admin HTTP endpoint: ", error, "; nothing was started.");
        return false;
    }
    ConsoleLine("Operators' commands over HTTP at http://", options.adminHttpAddress, ":", admin.link().httpPort(),
                "/admin");
    return true;
}

} // namespace skirmish
