// The feed session behind the instance's market-session interface.
#include <memory>

#include "session/datafeed_manager.h"
#include "session/market_session.h"

namespace kvoapi {
namespace {

class DatafeedSession : public IMarketSession {
public:
    DatafeedSession(const InstanceConfig* config, CSocketDataMananger* owner, const std::string& market,
                    std::shared_ptr<corvane::HostCallGate> gate)
        : m_manager(std::make_unique<CDatafeedSDKManager>(config, owner, market, std::move(gate))) {}

    int32_t AddAddress(const char* host, uint16_t port, bool front) override {
        return m_manager->AddAddress(host, port, front);
    }
    void SetSuperStockLevel(int32_t level) override { m_manager->SetSuperStockLevel(level); }
    int32_t SendUserData(const char* text) override { return m_manager->SendUserData(text); }
    LoginResult Login(LoginAccountInfo& account) override { return m_manager->Login(account); }
    int32_t SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist,
                      bool wait) override {
        return m_manager->SubScribe(msg_dataclass, subop_type, market, codelist, wait);
    }
    int32_t SubScribeForChildren(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                 const char* codelist) override {
        return m_manager->SubScribeForChildren(msg_dataclass, subop_type, market, codelist);
    }
    char* GetCodelist(const char* market, uint32_t* out_length) override {
        return m_manager->GetCodelist(market, out_length);
    }
    void* GetTickIndex(const char* market, const char* codelist, uint32_t* out_count) override {
        return m_manager->GetTickIndex(market, codelist, out_count);
    }
    void* GetTickStock(const char* market, const char* codelist, uint32_t* out_count) override {
        return m_manager->GetTickStock(market, codelist, out_count);
    }
    void* GetSuperStock(const char* market, const char* codelist, uint32_t* out_count) override {
        return m_manager->GetSuperStock(market, codelist, out_count);
    }
    std::string ElkLog(const std::string& prefix, const std::string& name,
                       const std::map<std::string, std::string>& fields, const std::string& option) override {
        return m_manager->ElkLog(prefix, name, fields, option);
    }

    void BeginStop() override { m_manager->BeginStop(); }

    CDatafeedSDKManager* Manager() const { return m_manager.get(); }

private:
    std::unique_ptr<CDatafeedSDKManager> m_manager;
};

}  // namespace

CDatafeedSDKManager* DatafeedManagerOf(IMarketSession* session) {
    auto* datafeed = dynamic_cast<DatafeedSession*>(session);
    return datafeed ? datafeed->Manager() : nullptr;
}

IMarketSession* CreateDatafeedSession(const InstanceConfig* config, CSocketDataMananger* owner,
                                      const std::string& market, std::shared_ptr<corvane::HostCallGate> gate) {
    return new DatafeedSession(config, owner, market, std::move(gate));
}

}  // namespace kvoapi
