#include "utility/ugw_slots.h"

#include "utility/ugw_action.h"

const ugw_renderer_table ugw_renderers = {};

const ugw_action_table ugw_actions = {
    .unset_log = ugw_unset_log,
    .unset_control = ugw_unset_control,
    .unset_port = ugw_unset_port,
    .unset_nas = ugw_unset_nas,
    .unset_auth = ugw_unset_auth,
    .unset_acct = ugw_unset_acct,
    .unset_service = ugw_unset_service,
    .set_log = ugw_set_log,
    .set_control = ugw_set_control,
    .set_port = ugw_set_port,
    .set_nas = ugw_set_nas,
    .set_auth = ugw_set_auth,
    .set_acct = ugw_set_acct,
    .set_service = ugw_set_service,
};
