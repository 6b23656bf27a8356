#include "app/globals.h"

ProcessGlobals& Globals() {
    static ProcessGlobals globals;
    return globals;
}
