// Card insertion and removal events reported by the card-watching service.
#pragma once

// Receives and handles one card event. Returns -1 when no event is waiting.
int poll_event(int flag);
