#include "radius/radius_mib.h"

#include "common/crypto/secure.h"

void radius_auth_server_clear_secret(radiusAuthClientServerExtTable *row)
{
    secure_wipe(row->radiusAuthServerSharedSecret, sizeof row->radiusAuthServerSharedSecret);
}

void radius_acct_server_clear_secret(radiusAccClientServerExtTable *row)
{
    secure_wipe(row->radiusAccServerSharedSecret, sizeof row->radiusAccServerSharedSecret);
}

void radius_das_client_clear_secret(radiusDynAuthClientTable *row)
{
    secure_wipe(row->radiusDynAuthSharedSecret, sizeof row->radiusDynAuthSharedSecret);
}

void radius_nas_record_clear_secrets(radius_nas_record *record)
{
    for (auto &row : record->auth)
        radius_auth_server_clear_secret(&row);
    for (auto &row : record->acct)
        radius_acct_server_clear_secret(&row);
    for (auto &row : record->das)
        radius_das_client_clear_secret(&row);
}
