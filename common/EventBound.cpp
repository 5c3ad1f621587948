#include "common/EventBound.h"

bool EventBound::admit() {
    int waiting = waiting_.load();
    while (waiting < limit_) {
        if (waiting_.compare_exchange_weak(waiting, waiting + 1))
            return true;
    }
    ++dropped_;
    return false;
}

void EventBound::delivered() {
    --waiting_;
}
