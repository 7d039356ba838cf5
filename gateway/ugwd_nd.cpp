// IPv6 neighbour discovery and MLD snooping.
#include "gateway/ugwd_snoop.h"

int ugwd_icmpv6_snoop(ugwd_vap *, ugwd_tunnel *, ugwd_flow *, packet *)
{
    return -1;
}
