#pragma once

#include "pgulo/host/HostExport.h"

// The backup set a subclient belongs to.
class PGULO_HOST_API BackupSet {
public:
    explicit BackupSet(unsigned long long backupSetId) : backupSetId_(backupSetId) {}
    unsigned long long getBackupSetId() const { return backupSetId_; }

private:
    unsigned long long backupSetId_;
};
