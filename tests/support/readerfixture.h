#pragma once

// The reader file trees and databases the tests build live with the sample reader tool.
#include "readerfixture/readerfixture.h"
