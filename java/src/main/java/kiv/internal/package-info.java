/**
 * Internal: the parts of {@code kiv} that its own packages share with one another. Not
 * part of the API; application code has no reason to use it, and it changes without
 * notice.
 */
package kiv.internal;
