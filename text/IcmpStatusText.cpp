#include "text/IcmpStatusText.h"

std::string icmpStatusText(std::int32_t code) {
    if (code == 0)
        return "Success";
    static const char* const texts[] = {
        "Buffer too small",                 // 11001
        "Destination Net Unreachable",      // 11002
        "Destination Host Unreachable",     // 11003
        "Destination Protocol Unreachable", // 11004
        "Destination Port Unreachable",     // 11005
        "No Resources",                     // 11006
        "Bad Option",                       // 11007
        "Hardware Error",                   // 11008
        "IP Packet too big",                // 11009
        "Request Timed Out",                // 11010
        "Bad Request",                      // 11011
        "Bad Route",                        // 11012
        "TTL expired (TRANSIT)",            // 11013
        "TTL expired (REASSEMBLE)",         // 11014
        "Parameters problem",               // 11015
        "Source quench",                    // 11016
        "Option too big",                   // 11017
        "Bad Destination",                  // 11018
        "IP Address deleted",               // 11019
        "IP_SPEC_MTU_CHANGE",               // 11020
        "IP_MTU_CHANGE",                    // 11021
        "IP_UNLOAD",                        // 11022
    };
    if (code >= 11001 && code <= 11022)
        return texts[code - 11001];
    if (code == 11050)
        return "General Failure";
    return "Unknown";
}
