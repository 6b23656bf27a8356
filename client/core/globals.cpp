#include "core/globals.h"

ProcessGlobals& Globals() {
    static ProcessGlobals globals;
    return globals;
}
