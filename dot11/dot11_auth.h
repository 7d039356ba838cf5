// The 802.11 authenticator as the gateway object sees it so far: only the
// one-time crypto set-up. The authenticator proper takes this module over.
#pragma once

// Picks the AES implementation the key handling uses; once, before any
// authenticator exists.
void dot11_crypto_init();
