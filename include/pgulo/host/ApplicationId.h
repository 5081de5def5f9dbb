#pragma once

#include "pgulo/host/BackupSet.h"
#include "pgulo/host/Client.h"
#include "pgulo/host/HostExport.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/host/Subclient.h"

#include <memory>

// Names a subclient: appId is the subclient's number. The objects it leads to are null when
// the subclient or the object it names is not in the store.
class PGULO_HOST_API ApplicationId {
public:
    ApplicationId(unsigned long long quorixId, unsigned long long appId)
        : quorixId_(quorixId), appId_(appId) {}

    unsigned long long getQuorixId() const { return quorixId_; }
    unsigned long long getAppId() const { return appId_; }

    std::unique_ptr<PostgreSQLInstance> getInstance(void* context) const;
    std::unique_ptr<BackupSet> getBackupSet(void* context) const;
    std::unique_ptr<Client> getClient(void* context) const;
    std::unique_ptr<Subclient> getSubclient(void* context) const;

private:
    unsigned long long quorixId_;
    unsigned long long appId_;
};
