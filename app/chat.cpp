#include "app/frmclientserver.h"
