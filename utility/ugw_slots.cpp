#include "utility/ugw_slots.h"

namespace
{

// Until the renderers and actions are wired in, every slot prints nothing and
// every action changes nothing.
int no_action(void *, const ugw_command *)
{
    return 0;
}

} // namespace

const ugw_renderer_table ugw_renderers = {};

const ugw_action_table ugw_actions = {
    .unset_log = no_action,
    .unset_control = no_action,
    .unset_port = no_action,
    .unset_nas = no_action,
    .unset_auth = no_action,
    .unset_acct = no_action,
    .unset_service = no_action,
    .set_log = no_action,
    .set_control = no_action,
    .set_port = no_action,
    .set_nas = no_action,
    .set_auth = no_action,
    .set_acct = no_action,
    .set_service = no_action,
};
