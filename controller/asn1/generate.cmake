# Runs asn1c on the message set into OUT_DIR and mends what asn1c 0.9.28 gets wrong.
# Called at build time, and at configure time into a scratch directory to learn the file list.
# Inputs: ASN1C, MODULE, OUT_DIR.
cmake_minimum_required(VERSION 3.25)

set(tmp ${OUT_DIR}.tmp)
file(REMOVE_RECURSE ${tmp})
file(MAKE_DIRECTORY ${tmp})
execute_process(
  COMMAND ${ASN1C} -fcompound-names -gen-PER ${MODULE}
  WORKING_DIRECTORY ${tmp}
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "asn1c failed on ${MODULE}:\n${out}")
endif()

# Nothing of ours runs the sample converter or the sample makefile.
file(REMOVE ${tmp}/converter-sample.c ${tmp}/Makefile.am.sample)

# The allocator lives in our own header, installed as asn_internal.h; it includes
# asn1c's under another name, so every runtime file gets ours whatever its include form.
file(RENAME ${tmp}/asn_internal.h ${tmp}/asn_internal_asn1c.h)
file(COPY_FILE ${CMAKE_CURRENT_LIST_DIR}/asn_alloc_hook.h ${tmp}/asn_internal.h)

# Replaces one snippet of a runtime file; a runtime that no longer holds the snippet
# stops the build instead of going unmended.
function(mend file old new)
  file(READ ${tmp}/${file} text)
  string(FIND "${text}" "${old}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "asn1c runtime changed: ${file} no longer holds the code to mend")
  endif()
  string(REPLACE "${old}" "${new}" text "${text}")
  file(WRITE ${tmp}/${file} "${text}")
endfunction()

# Skipping an unknown open type read 24 bits at a time and left the tail unread, so any
# unknown extension addition failed to decode.
mend(per_opentype.c
  "	while(per_get_few_bits(pd, 24) >= 0);\n"
  "	while(pd->nbits > pd->nboff) {
		size_t left = pd->nbits - pd->nboff;
		if(per_get_few_bits(pd, left > 24 ? 24 : (int)left) < 0)
			break;
	}\n")

# Only the first of several unknown extension additions was skipped.
mend(constr_SEQUENCE.c
  "				if(uper_open_type_skip(opt_codec_ctx, pd)) {
					FREEMEM(epres);
					ASN__DECODE_STARVED;
				}
			}
			break;"
  "				if(uper_open_type_skip(opt_codec_ctx, pd)) {
					FREEMEM(epres);
					ASN__DECODE_STARVED;
				}
				continue;
			}
			break;")

# An alternative added by a later version failed the whole message: skip it and leave
# the CHOICE with nothing present, for the caller to count and refuse.
mend(constr_CHOICE.c
  "		value += specs->ext_start;
		if(value >= td->elements_count)
			ASN__DECODE_FAILED;"
  "		value += specs->ext_start;
		if(value >= td->elements_count) {
			if(uper_open_type_skip(opt_codec_ctx, pd))
				ASN__DECODE_STARVED;
			rv.code = RC_OK;
			rv.consumed = 0;
			return rv;
		}")

# A NativeInteger went through a heap INTEGER both ways: most of a message's encode and
# decode time. A value within its PER range is read and written directly; anything else
# (unconstrained, semi-constrained, an extension) takes the runtime's own path.
mend(NativeInteger.c
  "	memset(&tmpint, 0, sizeof tmpint);
	rval = INTEGER_decode_uper(opt_codec_ctx, td, constraints,"
  "	{
		asn_per_constraints_t *pc = constraints ? constraints : td->per_constraints;
		asn_per_constraint_t *ct = pc ? &pc->value : 0;
		if(ct && ct->flags != APC_UNCONSTRAINED && ct->range_bits >= 0
		&& (size_t)ct->range_bits <= 8 * sizeof(unsigned long)) {
			asn_per_data_t saved = *pd;
			int inext = 0;
			unsigned long v;
			if(ct->flags & APC_EXTENSIBLE) {
				inext = per_get_few_bits(pd, 1);
				if(inext < 0) ASN__DECODE_STARVED;
			}
			if(!inext) {
				if(uper_get_constrained_whole_number(pd, &v, ct->range_bits))
					ASN__DECODE_STARVED;
				*native = (long)(v + (unsigned long)ct->lower_bound);
				rval.code = RC_OK;
				rval.consumed = 0;
				return rval;
			}
			*pd = saved;
		}
	}
	memset(&tmpint, 0, sizeof tmpint);
	rval = INTEGER_decode_uper(opt_codec_ctx, td, constraints,")
mend(NativeInteger.c
  "	memset(&tmpint, 0, sizeof(tmpint));
	if((specs&&specs->field_unsigned)
		? asn_ulong2INTEGER(&tmpint, native)"
  "	{
		asn_per_constraints_t *pc = constraints ? constraints : td->per_constraints;
		asn_per_constraint_t *ct = pc ? &pc->value : 0;
		if(ct && !(ct->flags & APC_SEMI_CONSTRAINED) && ct->range_bits >= 0
		&& ((specs && specs->field_unsigned)
			? ((unsigned long)native >= (unsigned long)ct->lower_bound
			   && (unsigned long)native <= (unsigned long)ct->upper_bound)
			: (native >= ct->lower_bound && native <= ct->upper_bound))) {
			if((ct->flags & APC_EXTENSIBLE) && per_put_few_bits(po, 0, 1))
				ASN__ENCODE_FAILED;
			if(uper_put_constrained_whole_number_u(po,
				(unsigned long)native - (unsigned long)ct->lower_bound,
				ct->range_bits))
				ASN__ENCODE_FAILED;
			er.encoded = 0;
			ASN__ENCODED_OK(er);
		}
	}
	memset(&tmpint, 0, sizeof(tmpint));
	if((specs&&specs->field_unsigned)
		? asn_ulong2INTEGER(&tmpint, native)")

# Every operation on a constrained type re-inherits its base type's descriptor, which
# replaced the type's own constraint check with the base's unconstrained one: after the
# first message a MAC address of 5 bytes or an SSID of 33 passed the check. Keep the
# type's own check.
file(GLOB type_sources ${tmp}/*.c)
set(mended 0)
foreach(src ${type_sources})
  file(READ ${src} text)
  string(REGEX REPLACE
    "(\ttd->print_struct   = asn_DEF_[A-Za-z0-9_]+\\.print_struct;\n)\ttd->check_constraints = asn_DEF_[A-Za-z0-9_]+\\.check_constraints;\n"
    "\\1" new "${text}")
  if(NOT new STREQUAL text)
    file(WRITE ${src} "${new}")
    math(EXPR mended "${mended} + 1")
  endif()
endforeach()
if(mended EQUAL 0)
  message(FATAL_ERROR "asn1c output changed: no inherited constraint check to keep")
endif()

file(REMOVE_RECURSE ${OUT_DIR})
file(RENAME ${tmp} ${OUT_DIR})
