#include "runtime/port_hint.h"

#include <cerrno>

#include <grp.h>
#include <sys/stat.h>

namespace hp::rt {

namespace {

// The group that may read and write the device, when joining it is the usual
// way in (dialout, uucp, ...): not when only its owner may use it.
std::string AccessGroup(const std::string& Device)
{
    struct stat st {};
    if (::stat(Device.c_str(), &st) != 0 || st.st_gid == 0)
        return {};
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    const group* g = ::getgrgid(st.st_gid);
    return g && g->gr_name ? std::string(g->gr_name) : std::string();
}

} // namespace

std::string PortOpenHint(const std::string& Device, int Code)
{
    if (Code == EACCES || Code == EPERM) {
        const std::string group = AccessGroup(Device);
        if (group.empty())
            return {};
        return Device + " belongs to the group " + group + "; join it with \"sudo usermod -aG " + group +
               " $USER\" and log in again";
    }
    if (Code == EBUSY)
        return "another program holds " + Device + " (a terminal program, ModemManager, another hiltpush); \"fuser -v " +
               Device + "\" or \"lsof " + Device + "\" shows which";
    return {};
}

} // namespace hp::rt
