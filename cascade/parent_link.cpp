#include "cascade/parent_link.h"

#include <mutex>
#include <utility>

#include "framework/tl_log.h"

namespace {

// No cascade transport: the master is never reached.
class UnreachableParent : public IParentLink {
public:
    bool Connect(const std::string& host, uint16_t port) override {
        TL_WriteLog(1, "CascadeConnect[],no cascade transport, master %s:%u not reached", host.c_str(),
                    static_cast<unsigned>(port));
        return false;
    }
    bool Send(std::string_view) override { return false; }
    uint64_t SubscriberId() const override { return 0; }
};

std::unique_ptr<IParentLink> CreateUnreachableParent(ParentAnswerSink) {
    return std::make_unique<UnreachableParent>();
}

struct FactorySlot {
    std::mutex mutex;
    ParentLinkFactory factory = &CreateUnreachableParent;
};

FactorySlot& Slot() {
    static FactorySlot* slot = new FactorySlot;  // lives until the process ends
    return *slot;
}

}  // namespace

ParentLinkFactory SetParentLinkFactory(ParentLinkFactory factory) {
    if (!factory) factory = &CreateUnreachableParent;
    std::lock_guard<std::mutex> lock(Slot().mutex);
    std::swap(Slot().factory, factory);
    return factory;
}

std::unique_ptr<IParentLink> CreateParentLink(ParentAnswerSink sink) {
    ParentLinkFactory factory;
    {
        std::lock_guard<std::mutex> lock(Slot().mutex);
        factory = Slot().factory;
    }
    std::unique_ptr<IParentLink> link = factory(std::move(sink));
    return link ? std::move(link) : std::make_unique<UnreachableParent>();
}
