/**
 * A request that did not succeed. `code` is the service's error code when it
 * answered with one ("missing_parameter", "execution_error", ...; recording
 * and streaming failures carry none), or one of the client's own:
 * "request_timeout" (no final response in time), "child_exited" (the service
 * ended while the request was pending), "not_running" (sent after it ended).
 */
export class VelmarError extends Error {
  override readonly name = 'VelmarError';

  constructor(
    message: string,
    readonly code: string | undefined,
    readonly action: string,
    readonly id?: string,
  ) {
    super(message);
  }
}
