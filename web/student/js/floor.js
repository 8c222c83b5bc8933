// The student talking back: a raised hand and the answer to the teacher's quick question.
import { Cmd, CHOICE_LETTERS, FloorCmd, paramObject, parseCommand } from './commands.js';

const $ = (id) => document.getElementById(id);

export class Floor {
  // room: the Room this belongs to (its relay, session, teacher and notices).
  constructor(room) {
    this.room = room;
    this.handUp = false;
    this.quiz = null; // {quizId, choices, text, closed, answer}
    this.abort = new AbortController();
    this.onMsg = (e) => this.take(e.detail);
    room.relay.addEventListener('msg', this.onMsg);
    const signal = this.abort.signal;
    $('raiseHand').addEventListener('click', () => this.toggleHand(), { signal });
    $('quizChoices').addEventListener('click', (e) => {
      const button = e.target.closest('button[data-choice]');
      if (button) this.answer(Number(button.dataset.choice));
    }, { signal });
    this.showHand(false);
    this.hideQuiz();
  }

  dispose() {
    this.abort.abort();
    this.room.relay.removeEventListener('msg', this.onMsg);
    this.showHand(false);
    this.hideQuiz();
  }

  take(push) {
    if (String(push.sender || '') !== this.room.teacherId || !Array.isArray(push.elems)) return;
    for (const elem of push.elems) {
      if (!elem || elem.type !== 1 || typeof elem.data !== 'string') continue;
      const command = parseCommand(elem.data);
      if (command) this.onTeacherCommand(command);
    }
  }

  onTeacherCommand({ userAction, actionParam }) {
    const param = paramObject(actionParam) || {};
    switch (userAction) {
      case Cmd.INVITE_INTERACT:
      case FloorCmd.LOWER_ALL_HANDS:
        this.showHand(false);
        break;
      case FloorCmd.LOWER_HAND:
        if (String(param.userId) === String(this.room.session.userId)) this.showHand(false);
        break;
      case FloorCmd.QUIZ_OPEN:
        this.openQuiz(param);
        break;
      case FloorCmd.QUIZ_CLOSE:
        if (this.quiz && String(param.quizId) === String(this.quiz.quizId)) {
          this.quiz.closed = true;
          this.renderQuiz();
        }
        break;
      case FloorCmd.QUIZ_SHARE:
        if (this.quiz && String(param.quizId) === String(this.quiz.quizId)) {
          this.quiz.counts = Array.isArray(param.counts) ? param.counts.map((n) => Number(n) || 0) : null;
          this.quiz.closed = this.quiz.closed || param.closed === true;
          this.renderQuiz();
        }
        break;
      default:
        break;
    }
  }

  // ---- the hand ------------------------------------------------------------------------------

  async toggleHand() {
    const up = !this.handUp;
    const param = JSON.stringify({ nickname: this.room.session.nickname, userId: this.room.session.userId });
    try {
      const reply = await this.room.sendToTeacher(up ? FloorCmd.RAISE_HAND : FloorCmd.LOWER_HAND, param);
      if (reply.code !== 0) throw reply;
      this.showHand(up);
    } catch (why) {
      this.room.addNotice('我', why && why.code === 20003 ? '老师还未进入教室，暂时无法举手' : '举手失败，请稍后再试');
    }
  }

  showHand(up) {
    this.handUp = up;
    const button = $('raiseHand');
    button.textContent = up ? '放下手' : '举手';
    button.classList.toggle('raised', up);
    button.setAttribute('aria-pressed', String(up));
  }

  // ---- the quick question --------------------------------------------------------------------

  openQuiz(param) {
    const choices = Number(param.choices);
    const quizId = param.quizId;
    if (!Number.isInteger(choices) || choices < 2 || choices > 6 || quizId == null) return;
    // The same question again (the relay repeats it to whoever comes late) keeps its answer.
    if (this.quiz && String(this.quiz.quizId) === String(quizId)) return;
    this.quiz = { quizId, choices, text: typeof param.text === 'string' ? param.text : '', closed: false, answer: -1, counts: null };
    this.renderQuiz();
  }

  async answer(choice) {
    const quiz = this.quiz;
    if (!quiz || quiz.closed || choice === quiz.answer) return;
    const param = JSON.stringify({ userId: this.room.session.userId, quizId: quiz.quizId, choice });
    const previous = quiz.answer;
    quiz.answer = choice;
    this.renderQuiz();
    let reply;
    try {
      reply = await this.room.sendToTeacher(FloorCmd.QUIZ_ANSWER, param);
    } catch (why) {
      reply = why || {};
    }
    if (this.quiz !== quiz) return;
    if (reply.code === 0) return;
    quiz.answer = previous;
    if (reply.code === 10024) quiz.closed = true;
    this.renderQuiz(reply.code === 10024 ? '答题已结束' : '提交失败，请重试');
  }

  renderQuiz(problem = '') {
    const quiz = this.quiz;
    $('quizCard').hidden = !quiz;
    if (!quiz) return;
    $('quizText').textContent = quiz.text || '请选择你的答案';
    const total = quiz.counts ? quiz.counts.reduce((a, b) => a + b, 0) : 0;
    const buttons = [];
    for (let i = 0; i < quiz.choices; ++i) {
      const button = document.createElement('button');
      button.type = 'button';
      button.dataset.choice = String(i);
      button.className = i === quiz.answer ? 'choice chosen' : 'choice';
      button.disabled = quiz.closed;
      button.textContent = CHOICE_LETTERS[i];
      if (quiz.counts) {
        const n = quiz.counts[i] || 0;
        const share = document.createElement('span');
        share.className = 'choice-count';
        share.textContent = ` ${n}人${total ? `（${Math.round((100 * n) / total)}%）` : ''}`;
        button.append(share);
      }
      buttons.push(button);
    }
    $('quizChoices').replaceChildren(...buttons);
    let status = quiz.answer >= 0 ? `已选择 ${CHOICE_LETTERS[quiz.answer]}，结束前可以更改` : '请选择一个答案';
    if (quiz.closed) status = quiz.answer >= 0 ? `答题已结束，你的答案：${CHOICE_LETTERS[quiz.answer]}` : '答题已结束';
    if (quiz.counts) status = `答题结果（共${total}人作答）${quiz.answer >= 0 ? `，你的答案：${CHOICE_LETTERS[quiz.answer]}` : ''}`;
    $('quizStatus').textContent = problem || status;
    $('quizStatus').classList.toggle('error', Boolean(problem));
  }

  hideQuiz() {
    this.quiz = null;
    $('quizCard').hidden = true;
    $('quizChoices').replaceChildren();
  }
}
