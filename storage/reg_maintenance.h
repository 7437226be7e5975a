/* Kept for the endpoint until it includes storage/upkeep/reg_maintenance.h,
 * where the upkeep's interface now lives. */
#include "storage/upkeep/reg_maintenance.h"
