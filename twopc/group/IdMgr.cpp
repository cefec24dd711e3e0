#include "twopc/group/IdMgr.h"
