#include "cascade/parent_link.h"

#include <utility>

#include "framework/tl_log.h"
#include "platform/pl_replaceable.h"

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

pl::ReplaceableSlot<ParentLinkFactory>& Slot() {
    // Lives until the process ends.
    static auto* slot = new pl::ReplaceableSlot<ParentLinkFactory>(&CreateUnreachableParent);
    return *slot;
}

}  // namespace

ParentLinkFactory SetParentLinkFactory(ParentLinkFactory factory) {
    if (!factory) factory = &CreateUnreachableParent;
    return Slot().Exchange(std::move(factory));
}

std::unique_ptr<IParentLink> CreateParentLink(ParentAnswerSink sink) {
    std::unique_ptr<IParentLink> link = Slot().Get()(std::move(sink));
    return link ? std::move(link) : std::make_unique<UnreachableParent>();
}
