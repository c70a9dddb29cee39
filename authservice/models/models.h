#pragma once
// Every body the authentication service exchanges.
#include "authservice/models/ciba_models.h"
#include "authservice/models/flow_models.h"
#include "authservice/models/session_models.h"
#include "authservice/models/wallet_models.h"
