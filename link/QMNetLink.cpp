#include "QMNetLink.h"
