#include "sink/realuser.h"

#include <sys/auxv.h>
#include <sys/fsuid.h>
#include <unistd.h>

namespace randdump {

// setfsuid() and setfsgid() act on the calling thread only, and when the file system user
// changes from root to another, the kernel also drops the capabilities that override file
// permissions.
AsRealUser::AsRealUser() : privileged_(getauxval(AT_SECURE) != 0), user_(geteuid())
{
    if (privileged_) {
        setfsgid(getgid());
        setfsuid(getuid());
        user_ = getuid();
    }
}

AsRealUser::~AsRealUser()
{
    if (privileged_) {
        setfsuid(geteuid());
        setfsgid(getegid());
    }
}

}  // namespace randdump
