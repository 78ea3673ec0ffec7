#include "tolvex/room/RoomInitial.h"

void RoomInitial::setExpired() {
    delete this;
}
