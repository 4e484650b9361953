#include "core/CardEvent.h"

// The card-watching service's queue is not read yet: no event is waiting.
int poll_event(int /*flag*/) { return -1; }
