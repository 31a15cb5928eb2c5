// Systems without a means wired up here: the owner looks again now and then.
#include "TPortWatch.h"

struct TPortWatch::TImpl {
    std::string Failure = "no change notification on this system";
};

TPortWatch::TPortWatch(TChanged /*changed*/, std::string /*place*/)
    : Impl(std::make_unique<TImpl>()) {}

TPortWatch::~TPortWatch() = default;

bool TPortWatch::Watching() const {
    return false;
}

const std::string& TPortWatch::Failure() const {
    return Impl->Failure;
}
