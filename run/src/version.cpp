#include "run/version.h"

const char kReplayVersion[] = RETINA_VERSION;
