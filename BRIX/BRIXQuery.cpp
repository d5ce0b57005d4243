#include "BRIXQuery.h"

BRIXQuery::BRIXQuery()
    : m_excludedFolders{"/tmp/",
                        "/dev/null",
                        "/opt/zenoss/var/zeneventserver/index",
                        "/yarn/nodemanager/usercache",
                        "/apps/ecp/inventory/scripts",
                        "/var/spool/postfix"},
      m_hiddenPathMarkers{"/."} {}
