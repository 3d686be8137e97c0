// The naming authority of our IQNs, shared by the driver, the client program and the servers.
// An image IQN is "iqn.2024-01." ZELKO_NAMING_AUTHORITY ":image." + the image id in decimal;
// the default IQN of a client without an assignment is ZELKO_DEFAULT_IQN.
#pragma once

#define ZELKO_NAMING_AUTHORITY "net.zelko"
#define ZELKO_IQN_PREFIX "iqn.2024-01." ZELKO_NAMING_AUTHORITY
#define ZELKO_IQN_IMAGE_PREFIX ZELKO_IQN_PREFIX ":image."
#define ZELKO_DEFAULT_IQN ZELKO_IQN_PREFIX ":client.default"

#define ZELKO_WIDEN2(x) L##x
#define ZELKO_WIDEN(x) ZELKO_WIDEN2(x)
#define ZELKO_IQN_IMAGE_PREFIX_W ZELKO_WIDEN(ZELKO_IQN_IMAGE_PREFIX)
#define ZELKO_DEFAULT_IQN_W ZELKO_WIDEN(ZELKO_DEFAULT_IQN)
