#include "ui/ui_resources.h"

UiResources& Ui() {
    static UiResources resources;
    return resources;
}
