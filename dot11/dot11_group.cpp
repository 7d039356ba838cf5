// Group keys of a BSS and TKIP countermeasures: the per-BSS group machine
// that makes and installs each GTK, the per-station machine that hands it
// over with the group handshake, and the countermeasures machine.
#include <cstring>

#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_desc.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_wire.h"

namespace {

using sta_handler = void (*)(dot11_rsna *);
using bss_handler = void (*)(dot11_auth *);

bool rsna_enabled(const dot11_auth *auth)
{
    return auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
}

void eapol_timeout(dot11_timer *t)
{
    dot11_rsna *sta = container_of(t, &dot11_rsna::eapol_timer);
    sta->TimeoutEvt = true;
    dot11_auth_run(sta->auth, sta);
}

void group_key_done(dot11_rsna *sta)
{
    if (sta->GUpdateStationKeys) {
        UGW_ASSERT(sta->auth->GKeyDoneStations > 0);
        sta->auth->GKeyDoneStations--;
    }
    sta->GUpdateStationKeys = sta->PInitAKeys = false;
}

void gtk_IDLE(dot11_rsna *sta)
{
    dot11_timer_stop(sta->auth, &sta->eapol_timer);
    sta->group_retry = 0;
}

void gtk_KEYERROR(dot11_rsna *sta)
{
    group_key_done(sta);
    // The group retries ran out; the count is cleared before the teardown
    // picks its reason.
    sta->reason = 16;
    sta->Disconnect = true;
}

void gtk_REKEYESTABLISHED(dot11_rsna *sta)
{
    if (log_enabled(LOG_COMP_DOT11, ULOG_DEBUG)) {
        char desc[96];
        DOT11_LOG(sta->auth, ULOG_DEBUG, "Received %s Group 2/2 from " DOT11_MACF,
                  dot11_eapol_describe(sta->frame, sta->frame_len, desc, sizeof desc),
                  DOT11_MACA(sta->mac));
    }
    group_key_done(sta);
}

void gtk_REKEYNEGOTIATING(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (!sta->group_retry)
        sta->replay_step = sta->replay + 1;
    uint64_t tsc = (uint64_t(1) << 48) - 1;
    if (!auth->ops.get_tsc || auth->ops.get_tsc(auth->ops.user, auth, nullptr, auth->GN, &tsc) < 0) {
        DOT11_LOG(auth, ULOG_DEBUG, "Failed to get GTK TSC");
    } else {
        packet *p = dot11_generate_eapol(sta, true, true, false, false, true, uint32_t(tsc >> 32),
                                         uint32_t(tsc), auth->gnonce, nullptr, 0, true, false);
        if (p && dot11_finalize_eapol(sta, p, true) < 0) {
            packet_release(p);
            p = nullptr;
        }
        if (p) {
            if (log_enabled(LOG_COMP_DOT11, ULOG_DEBUG)) {
                char desc[96], suffix[24] = "";
                if (sta->group_retry)
                    snprintf(suffix, sizeof suffix, " [retry %u]", sta->group_retry);
                DOT11_LOG(auth, ULOG_DEBUG, "Sending %s Group 1/2 to " DOT11_MACF "%s",
                          dot11_eapol_describe(p->data, p->length, desc, sizeof desc),
                          DOT11_MACA(sta->mac), suffix);
            }
            dot11_send_eapol(sta, p);
        }
    }
    sta->group_retry++;
    dot11_timer_start(auth, &sta->eapol_timer, 1000, eapol_timeout);
}

struct sta_row {
    char name[32];
    sta_handler entry;
};
struct bss_row {
    char name[32];
    bss_handler entry;
};

constexpr sta_row gtk_states[] = {
    {"IDLE", gtk_IDLE},
    {"KEYERROR", gtk_KEYERROR},
    {"REKEYESTABLISHED", gtk_REKEYESTABLISHED},
    {"REKEYNEGOTIATING", gtk_REKEYNEGOTIATING},
};

void install_retry(dot11_timer *t);

// The data plane must hold the current GTK: a failure is retried each second.
void install_gtk(dot11_auth *auth)
{
    if (auth->ops.install_key &&
        auth->ops.install_key(auth->ops.user, auth, nullptr, auth->config.dot11RSNAConfigGroupCipher,
                              auth->GN, auth->gtk[auth->GN], auth->key_length) >= 0) {
        auth->gtk_installed = true;
        dot11_timer_stop(auth, &auth->install_timer);
        return;
    }
    auth->gtk_installed = false;
    DOT11_LOG(auth, ULOG_ERROR, "Failed to install group key %u", auth->GN);
    dot11_timer_start(auth, &auth->install_timer, 1000, install_retry);
}

void install_retry(dot11_timer *t)
{
    dot11_auth *auth = container_of(t, &dot11_auth::install_timer);
    if (!auth->gtk_installed)
        install_gtk(auth);
}

void new_gtk(dot11_auth *auth)
{
    dot11_nonce_next(auth->counter, auth->gnonce, DOT11_NONCE_LEN);
    dot11_derive_gtk(auth->gmk, auth->config.bss_mac, auth->gnonce, auth->gtk[auth->GN]);
    auth->gtk_serial++;
}

void group_GTK_INIT(dot11_auth *auth)
{
    secure_wipe(auth->gtk, sizeof auth->gtk);
    auth->GN = 1;
    auth->GM = 2;
    auth->GKeyDoneStations = 0;
    new_gtk(auth);
}

void group_SETKEYS(dot11_auth *auth)
{
    auth->GTKReKey = false;
    uint8_t gn = auth->GN;
    auth->GN = auth->GM;
    auth->GM = gn;
    new_gtk(auth);
    auth->GKeyDoneStations = auth->GNoStations;
    for (dot11_rsna *sta : list_records<&dot11_rsna::link>(&auth->stations)) {
        sta->GUpdateStationKeys = true;
        dot11_sta_mark(sta);
    }
}

void packet_check(dot11_timer *t);

void group_SETKEYSDONE(dot11_auth *auth)
{
    uint8_t method = dot11_config_rekey_method(&auth->config);
    if (method == DOT11_REKEY_TIME || method == DOT11_REKEY_TIME_PACKETS)
        dot11_auth_schedule_gtk_rekey(auth, auth->config.dot11RSNAConfigGroupRekeyTime);
    if (method == DOT11_REKEY_PACKETS || method == DOT11_REKEY_TIME_PACKETS)
        dot11_auth_schedule_packet_rekey(auth);
    install_gtk(auth);
}

void cm_INIT(dot11_auth *) {}

void cm_UPDATE(dot11_auth *auth)
{
    DOT11_LOG(auth, ULOG_DEBUG, "TKIP MIC failure detected");
    auth->last_mic_failure = clock_sec();
    auth->mic_failure_seen = true;
}

void cm_INVOKE(dot11_auth *auth)
{
    for (dot11_rsna *sta : list_records<&dot11_rsna::link>(&auth->stations)) {
        if (!dot11_cipher_is_tkip(sta->suites.pairwise) && !dot11_cipher_is_tkip(sta->suites.group))
            continue;
        DOT11_LOG(auth, ULOG_DEBUG, "Disconnecting STA " DOT11_MACF " due to TKIP countermeasures",
                  DOT11_MACA(sta->mac));
        sta->Disconnect = true;
        dot11_sta_mark(sta);
    }
    auth->CountermeasuresActive = true;
    auth->config.dot11RSNATKIPCounterMeasuresInvoked++;
}

void cm_expired(dot11_timer *t)
{
    dot11_auth *auth = container_of(t, &dot11_auth::cm_timer);
    auth->CountermeasuresTimeout = true;
    dot11_auth_run(auth, nullptr);
}

void cm_WAIT(dot11_auth *auth)
{
    dot11_timer_start(auth, &auth->cm_timer, 60000, cm_expired);
}

void cm_RESUME(dot11_auth *auth)
{
    auth->CountermeasuresActive = false;
    if (rsna_enabled(auth))
        dot11_auth_schedule_gtk_rekey(auth, 0);
}

constexpr bss_row bss_states[] = {
    {"GTK_INIT", group_GTK_INIT},
    {"SETKEYS", group_SETKEYS},
    {"SETKEYSDONE", group_SETKEYSDONE},
    {"COUNTERMEASURES_INIT", cm_INIT},
    {"COUNTERMEASURES_UPDATE", cm_UPDATE},
    {"COUNTERMEASURES_INVOKE", cm_INVOKE},
    {"COUNTERMEASURES_WAIT", cm_WAIT},
    {"COUNTERMEASURES_RESUME", cm_RESUME},
};

void bss_enter(dot11_auth *auth, uint8_t *state, uint8_t next)
{
    *state = next;
    const bss_row &row = bss_states[next - DOT11_GROUP_GTK_INIT];
    DOT11_LOG(auth, ULOG_DETAIL, "802.11 Authenticator entering state %s", row.name);
    row.entry(auth);
}

void rekey_expired(dot11_timer *t)
{
    dot11_auth *auth = container_of(t, &dot11_auth::rekey_timer);
    auth->GTKReKey = true;
    dot11_auth_run(auth, nullptr);
}

void packet_check(dot11_timer *t)
{
    dot11_auth *auth = container_of(t, &dot11_auth::packet_timer);
    uint64_t tsc = (uint64_t(1) << 48) - 1;
    if (!auth->ops.get_tsc || auth->ops.get_tsc(auth->ops.user, auth, nullptr, auth->GN, &tsc) < 0 ||
        tsc < auth->config.dot11RSNAConfigGroupRekeyPackets) {
        dot11_auth_schedule_packet_rekey(auth);
        return;
    }
    if (rsna_enabled(auth))
        dot11_auth_schedule_gtk_rekey(auth, 0);
}

} // namespace

int dot11_gtk_step(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (!rsna_enabled(auth))
        return 0;
    switch (sta->r1kh_state) {
    case 0:
    case DOT11_R1KH_R1_START:
    case DOT11_R1KH_FT_PTK_INIT_DONE:
    case DOT11_R1KH_FT_PMK_R1_SA_RECD:
    case DOT11_R1KH_FT_HANDSHAKE_DONE:
    case DOT11_R1KH_OPEN_DONE:
        break;
    default:
        return 0;
    }
    uint8_t next = 0;
    if (sta->Init) {
        next = DOT11_GTK_IDLE;
    } else {
        switch (sta->gtk_state) {
        case 0:
            break;
        case DOT11_GTK_IDLE:
            if (sta->GUpdateStationKeys || sta->PInitAKeys)
                next = DOT11_GTK_REKEYNEGOTIATING;
            break;
        case DOT11_GTK_KEYERROR:
        case DOT11_GTK_REKEYESTABLISHED:
            next = DOT11_GTK_IDLE;
            break;
        case DOT11_GTK_REKEYNEGOTIATING:
            if (sta->EAPOLKeyReceived && !sta->EAPOLKeyPairwise && !sta->EAPOLKeyRequest &&
                sta->MICVerified)
                next = DOT11_GTK_REKEYESTABLISHED;
            else if (sta->TimeoutEvt)
                next = sta->group_retry > auth->config.dot11RSNAConfigGroupUpdateCount
                           ? DOT11_GTK_KEYERROR
                           : DOT11_GTK_REKEYNEGOTIATING;
            break;
        default:
            fatal_assert_fail("Invalid state", __FILE__, __func__, __LINE__);
        }
    }
    if (!next)
        return 0;
    sta->gtk_state = next;
    DOT11_LOG(auth, ULOG_DETAIL, "802.11 RSNA " DOT11_MACF " entering state %s", DOT11_MACA(sta->mac),
              gtk_states[next - DOT11_GTK_IDLE].name);
    gtk_states[next - DOT11_GTK_IDLE].entry(sta);
    return 1;
}

int dot11_group_step(dot11_auth *auth)
{
    if (!rsna_enabled(auth)) {
        auth->GInit = auth->MICFailureReported = auth->CountermeasuresTimeout = false;
        return 0;
    }
    uint8_t next = 0;
    if (auth->GInit) {
        next = DOT11_GROUP_GTK_INIT;
    } else {
        switch (auth->group_state) {
        case 0:
            break;
        case DOT11_GROUP_GTK_INIT:
            next = DOT11_GROUP_SETKEYSDONE;
            break;
        case DOT11_GROUP_SETKEYS:
            if (!auth->GKeyDoneStations)
                next = DOT11_GROUP_SETKEYSDONE;
            else if (auth->GTKReKey)
                next = DOT11_GROUP_SETKEYS;
            break;
        case DOT11_GROUP_SETKEYSDONE:
            if (auth->GTKReKey)
                next = DOT11_GROUP_SETKEYS;
            break;
        default:
            fatal_assert_fail("Invalid state", __FILE__, __func__, __LINE__);
        }
    }
    if (!next)
        return 0;
    bss_enter(auth, &auth->group_state, next);
    return 1;
}

int dot11_countermeasures_step(dot11_auth *auth)
{
    uint8_t next = 0;
    if (auth->GInit) {
        next = DOT11_CM_INIT;
    } else {
        switch (auth->cm_state) {
        case 0:
            break;
        case DOT11_CM_INIT:
            if (auth->MICFailureReported)
                next = !auth->mic_failure_seen || clock_sec() - auth->last_mic_failure > 59
                           ? DOT11_CM_UPDATE
                           : DOT11_CM_INVOKE;
            break;
        case DOT11_CM_UPDATE:
        case DOT11_CM_RESUME:
            next = DOT11_CM_INIT;
            break;
        case DOT11_CM_INVOKE:
            next = DOT11_CM_WAIT;
            break;
        case DOT11_CM_WAIT:
            if (auth->CountermeasuresTimeout)
                next = DOT11_CM_RESUME;
            break;
        default:
            fatal_assert_fail("Invalid state", __FILE__, __func__, __LINE__);
        }
    }
    if (next)
        bss_enter(auth, &auth->cm_state, next);
    auth->MICFailureReported = auth->CountermeasuresTimeout = auth->GInit = false;
    return next != 0;
}

void dot11_auth_schedule_gtk_rekey(dot11_auth *auth, uint32_t seconds)
{
    DOT11_LOG(auth, ULOG_DEBUG, "Scheduling GTK rekeying in %u sec", seconds);
    uint64_t s = seconds > 4294967 ? 4294967 : seconds;
    dot11_timer_start(auth, &auth->rekey_timer, s * 1000, rekey_expired);
}

void dot11_auth_schedule_packet_rekey(dot11_auth *auth)
{
    dot11_timer_start(auth, &auth->packet_timer, 60000, packet_check);
}

void dot11_auth_mic_failure(dot11_auth *auth)
{
    auth->MICFailureReported = true;
    dot11_auth_run_unless_running(auth, nullptr);
}
