#include "modifier/ModifierParams.h"

ModifierParams::ModifierParams() : supportedOpcodes{SEND_FIRST, SEND_ONLY, ACKNOWLEDGE} {}
