// Umbrella header of the core library.
#pragma once

#include "morva/batch.hpp"
#include "morva/certificate.hpp"
#include "morva/format.hpp"
#include "morva/json.hpp"
#include "morva/kkt.hpp"
#include "morva/linalg.hpp"
#include "morva/matrix.hpp"
#include "morva/polish.hpp"
#include "morva/portfolio.hpp"
#include "morva/problem.hpp"
#include "morva/scaling.hpp"
#include "morva/sequence.hpp"
#include "morva/solver.hpp"
#include "morva/workspace.hpp"
