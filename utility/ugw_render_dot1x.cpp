// The four 802.1X tables of a station in both forms. Text lines are the
// label in 20 columns, ": ", the value.
#include <cstring>
#include <iterator>

#include "utility/ugw_render.h"
#include "utility/ugw_render_util.h"

namespace
{

constexpr const char *sym_pae[] = {
    "",         "initialize", "disconnected", "connecting",  "authenticating", "authenticated",
    "aborting", "held",       "forceAuth",    "forceUnauth", "restart"};
constexpr const char *sym_backend[] = {"",        "request", "response",   "success", "fail",
                                       "timeout", "idle",    "initialize", "ignore"};
constexpr const char *sym_dirs[] = {"both", "in"};
constexpr const char *sym_port_status[] = {"", "authorized", "unauthorized"};
// The record's codes are the 802.1X MIB's (forceUnauthorized 1, forceAuthorized 3).
constexpr const char *sym_port_control[] = {"", "forceUnauthorized", "auto", "forceAuthorized"};
constexpr const char *sym_method[] = {"", "localAuthServer", "remoteAuthServer"};
constexpr const char *sym_cause[] = {"",
                                     "supplicantLogoff",
                                     "portFailure",
                                     "supplicantRestart",
                                     "reauthFailed",
                                     "authControlForceUnauth",
                                     "portReInit",
                                     "portAdminDisabled"};
constexpr uint16_t CAUSE_NOT_TERMINATED = 999;

template <size_t N> const char *symbol(const char *const (&table)[N], size_t value)
{
    return value < N ? table[value] : "";
}

void line(FILE *out, const char *label)
{
    fprintf(out, "%20s: ", label);
}

void line_u(FILE *out, const char *label, uint64_t value)
{
    line(out, label);
    fprintf(out, "%llu\n", static_cast<unsigned long long>(value));
}

// An enumeration with its first letter in upper case; empty without a symbol.
void line_sym(FILE *out, const char *label, const char *sym)
{
    line(out, label);
    if (sym[0])
        fprintf(out, "%c%s", sym[0] >= 'a' && sym[0] <= 'z' ? sym[0] - 'a' + 'A' : sym[0], sym + 1);
    fputc('\n', out);
}

void line_flag(FILE *out, const char *label, bool on)
{
    line(out, label);
    fputs(on ? "Enabled\n" : "Disabled\n", out);
}

template <size_t N>
void json_sym(json_writer *json, const char *key, const char *const (&table)[N], size_t value)
{
    json_k(json, key);
    json_symbol(json, table, N, value);
}

uint8_t session_method(const dot1xAuthSessionStats *r)
{
    return r->method_cause[0] >> 6;
}

uint16_t session_cause(const dot1xAuthSessionStats *r)
{
    return static_cast<uint16_t>((r->method_cause[0] & 0x3f) << 10 | r->method_cause[1] << 2 |
                                 r->method_cause[2] >> 6);
}

const char *cause_symbol(uint16_t cause)
{
    return cause == CAUSE_NOT_TERMINATED ? "notTerminatedYet" : symbol(sym_cause, cause);
}

#define STAT(label, field)                                                                         \
    {                                                                                              \
        label, #field, offsetof(dot1xAuthStats, field)                                             \
    }
#define DIAG(label, field)                                                                         \
    {                                                                                              \
        label, #field, offsetof(dot1xAuthDiag, field)                                              \
    }
struct dot1x_counter {
    const char *label;
    const char *key;
    size_t offset;
};
constexpr dot1x_counter stats_counters[] = {
    STAT("Rx EAPoL Frames", dot1xAuthEapolFramesRx),
    STAT("Tx EAPoL Frames", dot1xAuthEapolFramesTx),
    STAT("Rx EAPoL Starts", dot1xAuthEapolStartFramesRx),
    STAT("Rx EAPoL Logoffs", dot1xAuthEapolLogoffFramesRx),
    STAT("Rx EAPoL Resp-Ids", dot1xAuthEapolRespIdFramesRx),
    STAT("Rx EAPoL Responses", dot1xAuthEapolRespFramesRx),
    STAT("Tx EAPoL Req-Ids", dot1xAuthEapolReqIdFramesTx),
    STAT("Tx EAPoL Requests", dot1xAuthEapolReqFramesTx),
    STAT("EAPoL Bad Frames", dot1xAuthInvalidEapolFramesRx),
    STAT("EAP Length Errors", dot1xAuthEapLengthErrorFramesRx),
    STAT("Last EAPoL Version", dot1xAuthLastEapolFrameVersion),
};
constexpr dot1x_counter diag_counters[] = {
    DIAG("PAE Starts", dot1xAuthEntersConnecting),
    DIAG("PAE Logoffs", dot1xAuthEapLogoffsWhileConnecting),
    DIAG("PAE Reauths", dot1xAuthEntersAuthenticating),
    DIAG("PAE Connects", dot1xAuthAuthSuccessWhileAuthenticating),
    DIAG("PAE Connect Logoffs", dot1xAuthAuthTimeoutsWhileAuthenticating),
    DIAG("PAE Authenticates", dot1xAuthAuthFailWhileAuthenticating),
    DIAG("PAE Auth Successes", dot1xAuthAuthEapStartsWhileAuthenticating),
    DIAG("PAE Auth Timeouts", dot1xAuthAuthEapLogoffWhileAuthenticating),
    DIAG("PAE Auth Failures", dot1xAuthAuthReauthsWhileAuthenticated),
    DIAG("PAE Auth Restarts", dot1xAuthAuthEapStartsWhileAuthenticated),
    DIAG("PAE Auth Logoffs", dot1xAuthAuthEapLogoffWhileAuthenticated),
    DIAG("Backend Responses", dot1xAuthBackendResponses),
    DIAG("Backend Challenges", dot1xAuthBackendAccessChallenges),
    DIAG("Backend Requests", dot1xAuthBackendOtherRequestsToSupplicant),
    DIAG("Backend Successes", dot1xAuthBackendAuthSuccesses),
    DIAG("Backend Failures", dot1xAuthBackendAuthFails),
};
#undef STAT
#undef DIAG

uint32_t counter_value(const void *row, size_t offset)
{
    uint32_t v;
    memcpy(&v, static_cast<const uint8_t *>(row) + offset, sizeof v);
    return v;
}

} // namespace

void render_text_dot1x_auth_config(FILE *out, const dot1xAuthConfig *r)
{
    line_sym(out, "802.1X PAE State", symbol(sym_pae, dot1x_pae_state(*r)));
    line_sym(out, "802.1X Backend State", symbol(sym_backend, dot1x_backend_state(*r)));
    line_sym(out, "802.1X Admin Dirs", sym_dirs[(r->port & DOT1X_PORT_ADMIN_DIRS) != 0]);
    line_sym(out, "802.1X Oper Dirs", sym_dirs[(r->port & DOT1X_PORT_OPER_DIRS) != 0]);
    line_sym(out, "802.1X Port Status", symbol(sym_port_status, dot1x_port_status(*r)));
    line_sym(out, "802.1X Port Control", symbol(sym_port_control, dot1x_port_control(*r)));
    line_flag(out, "802.1X Reauth", r->port & DOT1X_PORT_REAUTH);
    line_flag(out, "802.1X Key Tx", r->port & DOT1X_PORT_KEY_TX);
    line_u(out, "802.1X Srv Timeout", r->dot1xAuthServerTimeout);
    line_u(out, "802.1X Quiet Period", r->dot1xAuthQuietPeriod);
    line_u(out, "802.1X Reauth Max", r->dot1xAuthReAuthMax);
    line_u(out, "802.1X Reauth Period", r->dot1xAuthReAuthPeriod);
}

void render_text_dot1x_auth_stats(FILE *out, const dot1xAuthStats *r)
{
    for (const auto &c : stats_counters)
        line_u(out, c.label, counter_value(r, c.offset));
    char mac[18];
    line(out, "Last EAPoL Source");
    fprintf(out, "%s\n", format_mac(mac, r->dot1xAuthLastEapolFrameSource));
}

void render_text_dot1x_auth_diag(FILE *out, const dot1xAuthDiag *r)
{
    for (const auto &c : diag_counters)
        line_u(out, c.label, counter_value(r, c.offset));
}

void render_text_dot1x_auth_session_stats(FILE *out, const dot1xAuthSessionStats *r)
{
    line_u(out, "802.1X Rx Octets", r->dot1xAuthSessionOctetsRx);
    line_u(out, "802.1X Tx Octets", r->dot1xAuthSessionOctetsTx);
    line_u(out, "802.1X Rx Frames", r->dot1xAuthSessionFramesRx);
    line_u(out, "802.1X Tx Frames", r->dot1xAuthSessionFramesTx);
    char text[300];
    line(out, "802.1X Session Id");
    fprintf(out, "%s\n",
            format_text(text, sizeof text, r->dot1xAuthSessionId, sizeof r->dot1xAuthSessionId));
    line_sym(out, "802.1X Auth Method", symbol(sym_method, session_method(r)));
    line_sym(out, "802.1X Term Cause", cause_symbol(session_cause(r)));
    line_u(out, "802.1X Session Time", r->dot1xAuthSessionTime);
    line(out, "802.1X User Name");
    fprintf(out, "%s\n",
            format_text(text, sizeof text, r->dot1xAuthSessionUserName,
                        sizeof r->dot1xAuthSessionUserName));
}

void render_json_dot1x_auth_config(json_writer *json, const dot1xAuthConfig *r)
{
    json_open_object(json);
    json_sym(json, "dot1xAuthPaeState", sym_pae, dot1x_pae_state(*r));
    json_sym(json, "dot1xAuthBackendAuthState", sym_backend, dot1x_backend_state(*r));
    json_sym(json, "dot1xAuthAdminControlledDirections", sym_dirs,
             (r->port & DOT1X_PORT_ADMIN_DIRS) != 0);
    json_sym(json, "dot1xAuthOperControlledDirections", sym_dirs,
             (r->port & DOT1X_PORT_OPER_DIRS) != 0);
    json_sym(json, "dot1xAuthAuthControlledPortStatus", sym_port_status, dot1x_port_status(*r));
    json_sym(json, "dot1xAuthAuthControlledPortControl", sym_port_control, dot1x_port_control(*r));
    json_k(json, "dot1xAuthReAuthEnabled");
    json_bool(json, r->port & DOT1X_PORT_REAUTH);
    json_k(json, "dot1xAuthKeyTxEnabled");
    json_bool(json, r->port & DOT1X_PORT_KEY_TX);
    json_member_uint(json, "dot1xAuthServerTimeout", r->dot1xAuthServerTimeout);
    json_member_uint(json, "dot1xAuthQuietPeriod", r->dot1xAuthQuietPeriod);
    json_member_uint(json, "dot1xAuthReAuthMax", r->dot1xAuthReAuthMax);
    json_member_uint(json, "dot1xAuthReAuthPeriod", r->dot1xAuthReAuthPeriod);
    json_close(json);
}

void render_json_dot1x_auth_stats(json_writer *json, const dot1xAuthStats *r)
{
    json_open_object(json);
    for (const auto &c : stats_counters)
        json_member_uint(json, c.key, counter_value(r, c.offset));
    json_k(json, "dot1xAuthLastEapolFrameSource");
    json_mac(json, r->dot1xAuthLastEapolFrameSource);
    json_close(json);
}

void render_json_dot1x_auth_diag(json_writer *json, const dot1xAuthDiag *r)
{
    json_open_object(json);
    for (const auto &c : diag_counters)
        json_member_uint(json, c.key, counter_value(r, c.offset));
    json_close(json);
}

void render_json_dot1x_auth_session_stats(json_writer *json, const dot1xAuthSessionStats *r)
{
    json_open_object(json);
    json_member_uint(json, "dot1xAuthSessionOctetsRx", r->dot1xAuthSessionOctetsRx);
    json_member_uint(json, "dot1xAuthSessionOctetsTx", r->dot1xAuthSessionOctetsTx);
    json_member_uint(json, "dot1xAuthSessionFramesRx", r->dot1xAuthSessionFramesRx);
    json_member_uint(json, "dot1xAuthSessionFramesTx", r->dot1xAuthSessionFramesTx);
    json_k(json, "dot1xAuthSessionId");
    json_string(json, r->dot1xAuthSessionId, sizeof r->dot1xAuthSessionId);
    json_sym(json, "dot1xAuthSessionAuthenticMethod", sym_method, session_method(r));
    json_k(json, "dot1xAuthSessionTerminateCause");
    const char *cause = cause_symbol(session_cause(r));
    if (cause[0])
        json_plain_string(json, cause, strlen(cause));
    else
        json_null(json);
    json_member_uint(json, "dot1xAuthSessionTime", r->dot1xAuthSessionTime);
    json_k(json, "dot1xAuthSessionUserName");
    json_string(json, r->dot1xAuthSessionUserName, sizeof r->dot1xAuthSessionUserName);
    json_close(json);
}
