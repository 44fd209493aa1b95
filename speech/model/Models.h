#pragma once

// The engine's shared vocabulary in one include: options, decoding records,
// model variants and support, constants, errors, signposts and results.
#include "speech/model/Constants.h"
#include "speech/model/DecodingError.h"
#include "speech/model/DecodingFallback.h"
#include "speech/model/DecodingInputs.h"
#include "speech/model/DecodingOptions.h"
#include "speech/model/DecodingResult.h"
#include "speech/model/JsonCoding.h"
#include "speech/model/ModelComputeOptions.h"
#include "speech/model/ModelSupport.h"
#include "speech/model/ModelVariant.h"
#include "speech/model/Signposts.h"
#include "speech/model/TimingReport.h"
#include "speech/model/TranscriptionProgress.h"
#include "speech/model/TranscriptionResult.h"
#include "speech/model/TranscriptionSegment.h"
#include "speech/model/TranscriptionTimings.h"
#include "speech/model/WhisperError.h"
#include "speech/model/WhisperMLModel.h"
