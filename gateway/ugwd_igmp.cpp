// IGMP snooping.
#include "gateway/ugwd_snoop.h"

int ugwd_igmp_snoop(ugwd_vap *, ugwd_tunnel *, ugwd_flow *, packet *)
{
    return -1;
}
