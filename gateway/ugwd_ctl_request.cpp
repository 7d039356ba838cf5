// Requests the controller sends: flow installation and removal, service configuration.
#include "common/log.h"
#include "controller/ulmex.h"
#include "controller/ulmex_codec.h"
#include "gateway/ugwd_control.h"

void ugwd_ctl_client_request_cb(ulmex_link *, const ulmex_pdu *pdu, uint32_t identity)
{
    ulog(LOG_COMP_ULMEX, ULOG_DEBUG, "Ulmex request %s id %08x not handled",
         ulmex_msg_type_name(ulmex_pdu_type(*pdu)), identity);
}
