// Classroom commands: custom message elements whose data is {"actionParam", "userAction"}.
export const Cmd = Object.freeze({
  ENTER_ROOM: 1,
  LEAVE_ROOM: 2,
  LIVE_PAUSE: 4,
  LIVE_END: 6,
  INVITE_INTERACT: 0x801,
  MIC_OFF: 0x802,
  ACCEPT_INTERACT: 0x803,
  REJECT_INTERACT: 0x804,
  CLASS_TIME: 0x805,
});

export const CMD_EXT = 'LiveNotification';

export function commandElem(userAction, actionParam = '') {
  return { type: 1, data: JSON.stringify({ actionParam, userAction }, null, 4), ext: CMD_EXT };
}

export function textElem(text) {
  return { type: 0, text };
}

// null when data is not a command object.
export function parseCommand(data) {
  let object;
  try {
    object = JSON.parse(data);
  } catch {
    return null;
  }
  if (!object || typeof object !== 'object' || Array.isArray(object)) return null;
  const action = Number.parseInt(object.userAction, 10);
  const param = object.actionParam;
  return { userAction: Number.isFinite(action) ? action : 0, actionParam: param == null ? '' : String(param) };
}

// The identity a student's commands carry; null unless it names a nickname.
export function parseIdentity(param) {
  try {
    const object = JSON.parse(param);
    if (object && typeof object.nickname === 'string' && object.nickname) {
      return { nickname: object.nickname, userId: object.userId == null ? '' : String(object.userId) };
    }
  } catch {
    // not an identity
  }
  return null;
}

// The class talking back: hands and quick questions (choices counted from 0 = A).
export const FloorCmd = Object.freeze({
  RAISE_HAND: 0x806,
  LOWER_HAND: 0x807,
  LOWER_ALL_HANDS: 0x808,
  QUIZ_OPEN: 0x809,
  QUIZ_ANSWER: 0x80a,
  QUIZ_CLOSE: 0x80b,
  QUIZ_SHARE: 0x80c,
});

export const CHOICE_LETTERS = 'ABCDEF';

// The JSON object a command carries, or null.
export function paramObject(param) {
  try {
    const object = JSON.parse(param);
    return object && typeof object === 'object' && !Array.isArray(object) ? object : null;
  } catch {
    return null;
  }
}
