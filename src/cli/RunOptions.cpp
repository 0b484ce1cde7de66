#include "cli/RunOptions.h"
