#ifndef SORVIT_SORVIT_H
#define SORVIT_SORVIT_H

#include <sorvit/asntime.h>
#include <sorvit/base64.h>
#include <sorvit/ber.h>
#include <sorvit/blob.h>
#include <sorvit/exception.h>
#include <sorvit/export.h>
#include <sorvit/helpers.h>
#include <sorvit/memorymapping.h>
#include <sorvit/mutex.h>
#include <sorvit/oids.h>
#include <sorvit/sha1.h>

#endif
