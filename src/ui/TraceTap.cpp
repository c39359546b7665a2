#include "TraceTap.h"

#include "diag/Proginit.h"

TraceTap::TraceTap(std::size_t maxLines) : maxLines_(maxLines) {}

TraceTap::~TraceTap() {
    Remove();
}

void TraceTap::Install() {
    DebugSetTap(&TraceTap::Receive, this);
    installed_ = true;
}

void TraceTap::Remove() {
    if (installed_) {
        DebugSetTap(nullptr, nullptr);
        installed_ = false;
    }
}

std::vector<std::string> TraceTap::Take() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> taken(std::make_move_iterator(lines_.begin()),
                                   std::make_move_iterator(lines_.end()));
    lines_.clear();
    return taken;
}

void TraceTap::Receive(void* context, const char* line, std::size_t length) {
    auto* self = static_cast<TraceTap*>(context);
    std::lock_guard lock(self->mutex_);
    if (self->lines_.size() >= self->maxLines_) {
        self->lines_.pop_front();
    }
    self->lines_.emplace_back(line, length);
}
