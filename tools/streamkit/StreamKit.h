#pragma once

// Everything the stream kit offers, for tests and tools that use most of it.
#include "streamkit/AnnexB.h"
#include "streamkit/AudioSource.h"
#include "streamkit/Damage.h"
#include "streamkit/Encoder.h"
#include "streamkit/G711.h"
#include "streamkit/PacketIo.h"
#include "streamkit/Picture.h"
#include "streamkit/ReferenceDecoder.h"
#include "streamkit/SpsSize.h"
#include "streamkit/StreamOptions.h"
#include "streamkit/StreamWriter.h"
#include "streamkit/WatermarkSei.h"
